#pragma once
// Every docstring of the module, in the interpreter's signature form: the
// signature line, "\n--\n\n", then the text. The interpreter turns the first
// part into __text_signature__ (what inspect.signature and help() show) and
// the rest into __doc__.

namespace rowmend::bindings::docs {

inline constexpr const char kModuleInitial[] = "The native _rowmend_backend Python module.";

inline constexpr const char kModule[] =
    "High-performance, fault-tolerant rowmend and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.";

inline constexpr const char kSalvageFile[] =
    "salvage_file(input_path, output_path, quarantine_path=None, delimiter=None, "
    "quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, expected_columns=None, "
    "repair_quotes=True)\n"
    "--\n"
    "\n"
    "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
    "\n"
    "Args:\n"
    "    input_path: Path to the corrupted CSV file.\n"
    "    output_path: Path where the repaired CSV file will be written.\n"
    "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
    "    delimiter: Optional single-character delimiter (e.g. \",\" or \";\"). If None, "
    "auto-sniffed.\n"
    "    quote_char: Optional single-character quote enclosure (default '\"').\n"
    "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
    "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
    "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
    "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.";

inline constexpr const char kSniff[] =
    "sniff(sample)\n"
    "--\n"
    "\n"
    "Detects the most likely delimiter from a CSV string sample.";

inline constexpr const char kOpen[] =
    "open(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True)\n"
    "--\n"
    "\n"
    "Convenience function to open and stream a salvaged CSV file.";

inline constexpr const char kSalvageReader[] =
    "SalvageReader(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True)\n"
    "--\n"
    "\n"
    "In-memory streaming reader iterating over salvaged rows.";

inline constexpr const char kReaderEnter[] = "__enter__($self)\n--\n\n";

inline constexpr const char kReaderExit[] =
    "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n";

inline constexpr const char kSalvageSummary[] = "Python-exposed summary of a salvage operation.";

inline constexpr const char kSummaryToDict[] =
    "to_dict($self)\n"
    "--\n"
    "\n"
    "Converts the summary into a native Python dictionary.";

} // namespace rowmend::bindings::docs
