#include "bindings/native/arrow_batch.h"

#include <utility>

namespace rowmend::native {

namespace {

// Consumers may dereference a buffer pointer even for zero bytes.
constexpr char kNoBytes[8] = {};

// What one exported ArrowArray owns: a share of the batch, its buffer list,
// and (for the struct array) its children.
struct ArrayHolder {
    std::shared_ptr<const ArrowBatch> batch;
    const void* buffers[3] = {nullptr, nullptr, nullptr};
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
    auto* holder = static_cast<ArrayHolder*>(array->private_data);
    // A child the consumer moved out carries its own release; the copy left
    // here was marked released by the move.
    for (ArrowArray& child : holder->children) {
        if (child.release != nullptr)
            child.release(&child);
    }
    delete holder;
    array->release = nullptr;
}

struct SchemaHolder {
    std::string name;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) {
    auto* holder = static_cast<SchemaHolder*>(schema->private_data);
    for (ArrowSchema& child : holder->children) {
        if (child.release != nullptr)
            child.release(&child);
    }
    delete holder;
    schema->release = nullptr;
}

ArrowArray make_array(ArrayHolder* holder, std::int64_t length, std::int64_t n_buffers) {
    return ArrowArray{length,          0,       0,       n_buffers,     0,
                      holder->buffers, nullptr, nullptr, release_array, holder};
}

ArrowSchema make_schema(SchemaHolder* holder, const char* format) {
    return ArrowSchema{format,  holder->name.c_str(), nullptr, 0, 0, nullptr,
                       nullptr, release_schema,       holder};
}

} // namespace

const void* StringColumn::offsets() const noexcept {
    return large_ ? static_cast<const void*>(offsets64_.data())
                  : static_cast<const void*>(offsets32_.data());
}

const void* StringColumn::data() const noexcept {
    return data_.size() == 0 ? kNoBytes : data_.data();
}

void StringColumn::widen() {
    offsets64_.assign(offsets32_.begin(), offsets32_.end());
    std::vector<std::int32_t>().swap(offsets32_);
    large_ = true;
}

ArrowBatch::ArrowBatch(std::size_t width, bool with_lines_, std::size_t expected_rows,
                       const std::vector<std::size_t>& column_bytes)
    : columns(width), with_lines(with_lines_) {
    for (std::size_t c = 0; c < width; ++c) {
        const std::size_t bytes = c < column_bytes.size() ? column_bytes[c] : 0;
        columns[c].reserve(expected_rows, bytes + bytes / 8);
    }
    if (with_lines)
        lines.reserve(expected_rows);
}

void export_batch(const std::shared_ptr<const ArrowBatch>& batch, ArrowArray* out) {
    const std::size_t width = batch->columns.size() + (batch->with_lines ? 1 : 0);
    // Everything that can throw happens before any struct is handed over.
    auto parent = std::make_unique<ArrayHolder>();
    parent->batch = batch;
    parent->children.resize(width);
    parent->child_pointers.resize(width);
    std::vector<std::unique_ptr<ArrayHolder>> holders(width);
    for (auto& holder : holders) {
        holder = std::make_unique<ArrayHolder>();
        holder->batch = batch;
    }

    for (std::size_t c = 0; c < width; ++c) {
        ArrayHolder* holder = holders[c].release();
        if (c < batch->columns.size()) {
            const StringColumn& column = batch->columns[c];
            holder->buffers[1] = column.offsets();
            holder->buffers[2] = column.data();
            parent->children[c] = make_array(holder, batch->rows, 3);
        } else {
            holder->buffers[1] = batch->lines.empty()
                                     ? static_cast<const void*>(kNoBytes)
                                     : static_cast<const void*>(batch->lines.data());
            parent->children[c] = make_array(holder, batch->rows, 2);
        }
        parent->child_pointers[c] = &parent->children[c];
    }
    ArrayHolder* owner = parent.release();
    *out = make_array(owner, batch->rows, 1);
    out->n_children = static_cast<std::int64_t>(width);
    out->children = owner->child_pointers.data();
}

void export_schema(const ArrowBatch& batch, const std::vector<std::string>& names,
                   ArrowSchema* out) {
    const std::size_t width = names.size();
    auto parent = std::make_unique<SchemaHolder>();
    parent->children.resize(width);
    parent->child_pointers.resize(width);
    std::vector<std::unique_ptr<SchemaHolder>> holders(width);
    for (std::size_t c = 0; c < width; ++c) {
        holders[c] = std::make_unique<SchemaHolder>();
        holders[c]->name = names[c];
    }

    for (std::size_t c = 0; c < width; ++c) {
        const char* format = "l"; // the line column: int64
        if (c < batch.columns.size())
            format = batch.columns[c].large() ? "U" : "u";
        parent->children[c] = make_schema(holders[c].release(), format);
        parent->child_pointers[c] = &parent->children[c];
    }
    SchemaHolder* owner = parent.release();
    *out = make_schema(owner, "+s");
    out->n_children = static_cast<std::int64_t>(width);
    out->children = owner->child_pointers.data();
}

} // namespace rowmend::native
