#pragma once
// A batch of rows laid out as Arrow columns, ready to be handed out through
// the Arrow C data interface without copying.
//
//   column c:  offsets | 0 | 1 | 3 | 3 | ...   (int32, or int64 once large)
//              data    | a b c d ...           (UTF-8, fields back to back)
//   lines:     | 1 | 2 | 4 | ...               (int64, only with line numbers)
//
// No validity bitmap: an empty field is "", never null. A column switches to
// 64-bit offsets (Arrow's large_string) only when its data in this batch
// passes what 32-bit offsets can address.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bindings/native/arrow_c_abi.h"
#include "parser/byte_buffer.h"

namespace rowmend::native {

class StringColumn {
  public:
    StringColumn() { offsets32_.push_back(0); }

    void append(const char* text, std::size_t size) {
        data_.append(text, size);
        if (!large_ && data_.size() <= kMaxOffset32) {
            offsets32_.push_back(static_cast<std::int32_t>(data_.size()));
            return;
        }
        if (!large_)
            widen();
        offsets64_.push_back(static_cast<std::int64_t>(data_.size()));
    }
    void reserve(std::size_t rows, std::size_t bytes) {
        offsets32_.reserve(rows + 1);
        data_.spare(bytes);
    }
    std::size_t bytes() const noexcept { return data_.size(); }

    bool large() const noexcept { return large_; }
    const void* offsets() const noexcept;
    const void* data() const noexcept;

    static constexpr std::size_t kMaxOffset32 = 0x7FFFFFFF;

  private:
    void widen();

    ByteBuffer data_;
    std::vector<std::int32_t> offsets32_;
    std::vector<std::int64_t> offsets64_; // in use once large_
    bool large_ = false;
};

struct ArrowBatch {
    // Room for `expected_rows` rows and, per column, a little more than
    // `column_bytes`: what the batch before it held (none for the first,
    // which grows as rows arrive). Batches of one input are alike, and
    // growing a column's data by doubling would copy it again and again; a
    // first guess could only be wrong, and by the batch's width over.
    ArrowBatch(std::size_t width, bool with_lines, std::size_t expected_rows,
               const std::vector<std::size_t>& column_bytes);

    std::vector<StringColumn> columns;
    std::vector<std::int64_t> lines; // each row's physical line, when with_lines
    bool with_lines;
    std::int64_t rows = 0;
    std::size_t bytes = 0; // field bytes in all columns
};

// Fills `out` with a struct array (one child per column, then the line
// column) that keeps `batch` alive until the consumer releases it and every
// child it moved out. Throws std::bad_alloc, leaving `out` untouched.
void export_batch(const std::shared_ptr<const ArrowBatch>& batch, ArrowArray* out);

// Fills `out` with the batch's schema: non-nullable string or large_string
// columns named `names` (one per column, then one for the line column).
void export_schema(const ArrowBatch& batch, const std::vector<std::string>& names,
                   ArrowSchema* out);

} // namespace rowmend::native
