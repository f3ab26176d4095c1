// Python arguments become values in two passes. The collection pass reads
// the Python objects (running whatever Python code that takes: __index__,
// items(), dataclass fields, astype) and builds nodes; the conversion pass
// then turns nodes into values without touching Python. Array nodes hold a
// read-only buffer export of their array, so values that borrow the
// array's memory stay valid while the nodes live.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "path.hpp"
#include "pyref.hpp"
#include "veltra/bind/value.hpp"

namespace veltra::seam {

struct BufferRelease {
    void operator()(Py_buffer* view) const {
        PyBuffer_Release(view);
        delete view;
    }
};
// Lives on the heap: the exporter may keep its address until release.
using BufferHold = std::unique_ptr<Py_buffer, BufferRelease>;

// A float64 array of one or two dimensions under a read-only export.
// Shape and strides (in bytes, any sign) are copied at export time.
struct ArrayNode {
    BufferHold buffer;
    const char* data = nullptr;
    int ndim = 1;
    std::size_t rows = 0;  // the length of a vector
    std::size_t cols = 1;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    std::size_t size() const { return rows * cols; }
    // As NumPy decides: axes of length 1 don't count, an empty array is both.
    bool c_contiguous() const;
    bool f_contiguous() const;
};

struct Node;
struct NamedNode;

struct MapNode {
    std::vector<NamedNode> fields;
    std::optional<std::string> type_name;  // a dataclass's class name
};

struct ListNode {
    std::vector<Node> items;
};

struct Node {
    // A finished value: None, Bool, Int, UInt, Float, owned Str, IntMap, IntVec.
    std::variant<bind::Value, ArrayNode, MapNode, ListNode> data;
};

struct NamedNode {
    std::string name;
    Node node;
};

// The collection pass for one value at `path`, `depth` levels below its
// argument.
Fallible<Node> collect(PyObject* obj, const Path& path, int depth);

// The description of a received object in "got {}" messages. Never fails.
std::string describe(PyObject* obj);
// The unqualified name of the object's type, or "?".
std::string type_name(PyObject* obj);

// The conversion pass for one node. `may_stay_row_major` lets a C-ordered
// matrix be borrowed as it is (top-level X and X_new only); nested arrays
// never stay row-major. Finished values are moved out of the node; array
// nodes keep their export.
bind::BindResult<bind::Value> convert(Node& node, bool may_stay_row_major, const bind::Loan& loan);

}  // namespace veltra::seam
