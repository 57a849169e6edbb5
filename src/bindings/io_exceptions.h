#pragma once
// Turning engine I/O failures into pending Python exceptions. Each exception
// is built from its class and one str argument, the error's text, so its
// errno, strerror and filename attributes stay None.

#include "error/io_error.h"
#include "error/salvage_error.h"

namespace rowmend::bindings {

// salvage_file reports every I/O failure as OSError itself, never a
// subclass; a quarantine path naming the clean file is a ValueError, and an
// interrupted run leaves the signal handler's exception.
void raise_salvage_error(const SalvageError& error);

// The streaming reader picks the OSError subclass that matches the kind of
// the failure (FileNotFoundError, IsADirectoryError, ...; MemoryError for
// out of memory).
void raise_reader_io_error(const IoError& error);

} // namespace rowmend::bindings
