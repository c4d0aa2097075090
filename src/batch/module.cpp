// vorlane_binary_parser_arrow: columns of payloads in, Arrow columns out,
// through the Arrow PyCapsule interface. Needs no Arrow library: the C data
// interface's structures are all it reads and writes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "arrow/c_data.h"
#include "batch/columns.h"
#include "accel/errors.h"
#include "common/cpu_path.h"
#include "fused/document.h"

namespace vorlane::batch {
namespace {

bool bit(const uint8_t* bits, int64_t i) noexcept { return (bits[i >> 3] >> (i & 7)) & 1; }

class Ref {
 public:
  explicit Ref(PyObject* obj = nullptr) noexcept : obj_(obj) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }
  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_;
};

// A C++ exception, raised as a Python one by the entry that catches it.
struct Raised {};

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw Raised{};
}
void check(bool ok) {
  if (!ok) throw Raised{};
}

// Every entry the interpreter calls runs inside this: nothing C++ leaves.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const Raised&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "vorlane_binary_parser_arrow: internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "vorlane_binary_parser_arrow: internal error");
  }
  return nullptr;
}

// Runs `body` without the interpreter lock; what it throws is rethrown
// with the lock held again.
template <class Body>
void without_gil(Body&& body) {
  PyThreadState* state = PyEval_SaveThread();
  try {
    body();
  } catch (...) {
    PyEval_RestoreThread(state);
    throw;
  }
  PyEval_RestoreThread(state);
}

// What parse raises for a version that is null, negative or too large: the
// interpreter's own messages, asked of it once at import.
std::string g_null_version;
std::string g_negative_version;
std::string g_large_version;

std::string message_of_pending() {
  PyObject* error = PyErr_GetRaisedException();
  Ref held(error);
  Ref text(error != nullptr ? PyObject_Str(error) : nullptr);
  check(bool(text));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  check(utf8 != nullptr);
  return std::string(utf8, static_cast<size_t>(size));
}

void learn_version_messages() {
  check(PyNumber_Index(Py_None) == nullptr);
  g_null_version = "argument 'version': " + message_of_pending();
  Ref negative(PyLong_FromLong(-1));
  check(bool(negative));
  PyLong_AsUnsignedLongLong(negative.get());
  g_negative_version = message_of_pending();
  Ref large(PyNumber_Lshift(Ref(PyLong_FromLong(1)).get(), Ref(PyLong_FromLong(64)).get()));
  check(bool(large));
  PyLong_AsUnsignedLongLong(large.get());
  g_large_version = message_of_pending();
}

// ---- Arrow structures taken from capsules: moved out, released once ----

template <class T>
struct Owned {
  T value{};
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  // Runs with the interpreter lock held, often while an exception is on
  // its way out: the producer's release may run Python code, so that
  // exception is set aside around it.
  ~Owned() {
    if (value.release == nullptr) return;
    PyObject* pending = PyErr_GetRaisedException();
    value.release(&value);
    PyErr_SetRaisedException(pending);
  }
};

template <class T>
void take(PyObject* capsule, const char* name, Owned<T>& out) {
  auto* source = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  check(source != nullptr);
  if (source->release == nullptr) raise(PyExc_ValueError, std::string(name) + " capsule was already consumed");
  out.value = *source;
  source->release = nullptr;
}

bool has(PyObject* obj, const char* name) {
  Ref attr(PyObject_GetAttrString(obj, name));
  if (attr) return true;
  check(PyErr_ExceptionMatches(PyExc_AttributeError));
  PyErr_Clear();
  return false;
}

// An array or a stream of arrays, as the object offers it.
class ArrowInput {
 public:
  ArrowInput(PyObject* obj, const char* what) {
    if (has(obj, "__arrow_c_array__")) {
      Ref pair(PyObject_CallMethod(obj, "__arrow_c_array__", nullptr));
      check(bool(pair));
      if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        raise(PyExc_TypeError, std::string(what) + ": __arrow_c_array__ did not return two capsules");
      }
      take(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema", schema_);
      take(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array", first_);
      pending_ = true;
    } else {
      Ref capsule(PyObject_CallMethod(obj, "__arrow_c_stream__", nullptr));
      check(bool(capsule));
      take(capsule.get(), "arrow_array_stream", stream_);
      ArrowArrayStream& s = stream_.value;
      if (s.get_schema(&s, &schema_.value) != 0) stream_error(what);
    }
    // A table's batch of one column (a record batch, a reader of them)
    // stands for that column.
    const ArrowSchema& schema = schema_.value;
    struct_ = schema.format != nullptr && std::string_view(schema.format) == "+s";
    if (struct_ && (schema.n_children != 1 || schema.children == nullptr || schema.children[0] == nullptr)) {
      raise(PyExc_TypeError, std::string(what) + " is a table of " + std::to_string(schema.n_children) +
                                 " columns, expected one column");
    }
  }

  const char* format() const {
    const ArrowSchema& s = schema_.value;
    return struct_ ? s.children[0]->format : s.format;
  }

  // The next array (false at the end); valid until the next call.
  bool next(const char* what, ArrowArray& view) {
    current_.~Owned();
    new (&current_) Owned<ArrowArray>();
    if (pending_) {
      current_.value = first_.value;
      first_.value.release = nullptr;
      pending_ = false;
    } else if (stream_.value.release != nullptr) {
      ArrowArrayStream& s = stream_.value;
      if (s.get_next(&s, &current_.value) != 0) stream_error(what);
    }
    if (current_.value.release == nullptr) return false;
    view = current_.value;
    if (struct_) {
      const ArrowArray& batch = current_.value;
      if (batch.n_children != 1 || batch.children == nullptr || batch.children[0] == nullptr) {
        raise(PyExc_ValueError, std::string(what) + ": a table batch without its one column");
      }
      if (batch.null_count != 0 && batch.n_buffers > 0 && batch.buffers != nullptr &&
          batch.buffers[0] != nullptr) {
        raise(PyExc_ValueError, std::string(what) + ": a table batch with null rows");
      }
      view = *batch.children[0];
      if (view.length < batch.length + batch.offset || batch.offset < 0 || batch.length < 0) {
        raise(PyExc_ValueError, std::string(what) + ": a table batch longer than its column");
      }
      view.offset += batch.offset;
      view.length = batch.length;
      // The column's null count covers all its rows, not the batch's.
      view.null_count = -1;
    }
    return true;
  }

 private:
  [[noreturn]] void stream_error(const char* what) {
    const char* text = stream_.value.get_last_error != nullptr ? stream_.value.get_last_error(&stream_.value) : nullptr;
    raise(PyExc_ValueError, std::string(what) + ": the stream failed: " + (text != nullptr ? text : "no reason given"));
  }

  Owned<ArrowSchema> schema_;
  Owned<ArrowArray> first_;
  Owned<ArrowArrayStream> stream_;
  Owned<ArrowArray> current_;
  bool pending_ = false;
  bool struct_ = false;
};

void raise_problem(const Problem& problem) {
  raise(problem.wrong_type ? PyExc_TypeError : PyExc_ValueError, problem.message);
}

bool is_arrow(PyObject* obj) { return has(obj, "__arrow_c_array__") || has(obj, "__arrow_c_stream__"); }

const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

VersionColumn read_versions(PyObject* version) {
  if (PyLong_Check(version)) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(version);
    check(!(value == static_cast<unsigned long long>(-1) && PyErr_Occurred()));
    return VersionColumn(value);
  }
  VersionColumn versions;
  if (is_arrow(version)) {
    ArrowInput input(version, "version column");
    ArrowArray array;
    while (input.next("version column", array)) {
      if (Problem p = versions.append(input.format(), array)) raise_problem(p);
    }
    versions.set_column();
    return versions;
  }
  if (PyUnicode_Check(version) || PyBytes_Check(version) || !PySequence_Check(version)) {
    raise(PyExc_TypeError, std::string("version must be an int or a column of them, not ") + type_name(version));
  }
  Ref items(PySequence_Fast(version, "version must be an int or a column of them"));
  check(bool(items));
  const Py_ssize_t rows = PySequence_Fast_GET_SIZE(items.get());
  PyObject** item = PySequence_Fast_ITEMS(items.get());
  versions.set_column();
  for (Py_ssize_t row = 0; row < rows; ++row) {
    if (item[row] == Py_None) {
      versions.push(0, VersionColumn::State::Null);
      continue;
    }
    if (!PyLong_Check(item[row]) || PyBool_Check(item[row])) {
      raise(PyExc_TypeError, "version column: row " + std::to_string(row) + " holds " + type_name(item[row]) +
                                 ", expected int or null");
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item[row], &overflow);
    check(!(value == -1 && PyErr_Occurred()));
    if (value < 0 || overflow < 0) {
      versions.push(0, VersionColumn::State::Negative);
    } else if (overflow > 0) {
      const unsigned long long big = PyLong_AsUnsignedLongLong(item[row]);
      if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        versions.push(0, VersionColumn::State::TooLarge);
      } else {
        versions.push(big, VersionColumn::State::Ok);
      }
    } else {
      versions.push(static_cast<uint64_t>(value), VersionColumn::State::Ok);
    }
  }
  return versions;
}

// The row as the decoder sees it, its payload read already.
Row with_version(const VersionColumn& versions, int64_t row, std::string_view text) {
  switch (versions.state(row)) {
    case VersionColumn::State::Ok:
      return {Row::Kind::Text, text, versions.value(row)};
    case VersionColumn::State::Null:
      return {Row::Kind::Failed, g_null_version, 0};
    case VersionColumn::State::Negative:
      return {Row::Kind::Failed, g_negative_version, 0};
    case VersionColumn::State::TooLarge:
      break;
  }
  return {Row::Kind::Failed, g_large_version, 0};
}

void check_version_rows(const VersionColumn& versions, int64_t rows) {
  if (versions.is_column() && versions.size() != rows) {
    raise(PyExc_ValueError, std::to_string(versions.size()) + " versions for " + std::to_string(rows) + " payloads");
  }
}

unsigned read_threads(PyObject* threads) {
  if (threads == nullptr || threads == Py_None) {
    return std::max(1u, std::thread::hardware_concurrency());
  }
  const long value = PyLong_AsLong(threads);
  check(!(value == -1 && PyErr_Occurred()));
  if (value < 1 || value > 1024) raise(PyExc_ValueError, "threads must be from 1 to 1024");
  return static_cast<unsigned>(value);
}

using Parts = std::vector<std::shared_ptr<const Node>>;

enum class Output { Documents, Records };

// One batch's rows decoded into the output asked for.
Node decode(Output output, const RowSource& source, int64_t rows, int64_t text_bytes, unsigned threads) {
  if (output == Output::Records) return decode_records(source, rows, text_bytes, threads);
  return documents_node(decode_documents(source, rows, text_bytes, threads));
}

// ---- a Python sequence of str and None ----

void check_payload_sequence(PyObject* payloads) {
  if (PyUnicode_Check(payloads) || PyBytes_Check(payloads) || !PySequence_Check(payloads)) {
    raise(PyExc_TypeError, std::string("payloads must be an Arrow column of text or a sequence of str, not ") +
                               type_name(payloads));
  }
}

// A sequence's rows read in place: `items` keeps the texts alive.
struct SequenceRows {
  // A tuple of its own: the caller's list may change while the rows decode.
  explicit SequenceRows(PyObject* payloads) : items(PySequence_Tuple(payloads)) {}
  Ref items;
  std::vector<Row> input;
  std::vector<std::string> failures;  // texts that have no UTF-8 form
  int64_t text_bytes = 0;
};

void read_sequence(const VersionColumn& versions, SequenceRows& out) {
  check(bool(out.items));
  PyObject* const items = out.items.get();
  const Py_ssize_t rows = PyTuple_GET_SIZE(items);
  check_version_rows(versions, rows);
  std::vector<Row>& input = out.input;
  std::vector<std::string>& failures = out.failures;
  int64_t& text_bytes = out.text_bytes;
  input.resize(static_cast<size_t>(rows));
  failures.reserve(8);
  for (Py_ssize_t row = 0; row < rows; ++row) {
    PyObject* item = PyTuple_GET_ITEM(items, row);
    if (item == Py_None) continue;
    if (!PyUnicode_Check(item)) {
      raise(PyExc_TypeError, "payload column: row " + std::to_string(row) + " holds " + type_name(item) +
                                 ", expected str or null (decode bytes to text first)");
    }
    // parse converts the version before the text: its failure comes first.
    Row& r = input[static_cast<size_t>(row)];
    r = with_version(versions, row, {});
    if (r.kind != Row::Kind::Text) continue;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr) {
      // The interpreter's UnicodeEncodeError, as parse raises it.
      failures.push_back(message_of_pending());
      r.kind = Row::Kind::Failed;
      r.version = failures.size() - 1;
      continue;
    }
    r.text = {utf8, static_cast<size_t>(size)};
    text_bytes += size;
  }
  for (Row& r : input) {
    if (r.kind == Row::Kind::Failed && r.text.data() == nullptr) r.text = failures[r.version];
  }
}

Parts decode_sequence(PyObject* payloads, const VersionColumn& versions, Output output, unsigned threads) {
  SequenceRows rows(payloads);
  read_sequence(versions, rows);
  auto out = std::make_shared<Node>();
  without_gil([&] {
    *out = decode(output, [&](int64_t row) { return rows.input[static_cast<size_t>(row)]; },
                  static_cast<int64_t>(rows.input.size()), rows.text_bytes, threads);
  });
  return {out};
}

// ---- an Arrow array or stream, a batch at a time ----

// Each batch of an Arrow column or stream, checked before its rows are
// read, with the index of its first row.
template <class Body>
void each_batch(PyObject* payloads, const VersionColumn& versions, Body&& body) {
  ArrowInput input(payloads, "payload column");
  int64_t base = 0;
  ArrowArray array;
  while (input.next("payload column", array)) {
    TextColumn texts;
    if (Problem p = texts.open(input.format(), array)) raise_problem(p);
    if (versions.is_column() && versions.size() < base + texts.size()) {
      raise(PyExc_ValueError, "fewer versions than payloads");
    }
    body(texts, base);
    base += texts.size();
  }
  check_version_rows(versions, base);
}

Parts decode_arrow(PyObject* payloads, const VersionColumn& versions, Output output, unsigned threads) {
  Parts parts;
  each_batch(payloads, versions, [&](const TextColumn& texts, int64_t base) {
    auto out = std::make_shared<Node>();
    without_gil([&] {
      *out = decode(
          output,
          [&](int64_t row) {
            return texts.is_null(row) ? Row{} : with_version(versions, base + row, texts.text(row));
          },
          texts.size(), texts.text_bytes(), threads);
    });
    parts.push_back(std::move(out));
  });
  if (parts.empty()) {
    // A stream of no batches: one empty array still carries the type.
    parts.push_back(std::make_shared<Node>(decode(output, [](int64_t) { return Row{}; }, 0, 0, 1)));
  }
  return parts;
}

// ---- the result: Arrow data exported through capsules ----

struct ColumnsObject {
  PyObject_HEAD
  Parts* parts;
  unsigned threads;
};

PyTypeObject* g_columns_type = nullptr;

// A node's type, exported; every field nullable.
struct SchemaBlock {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_list;
  ArrowSchema dictionary{};
};

// Releases an exported schema or array: its children and dictionary (those
// a consumer has not moved out), then its own block.
template <class Block, class T>
void release_tree(T* item) {
  auto* block = static_cast<Block*>(item->private_data);
  for (T& child : block->children) {
    if (child.release != nullptr) child.release(&child);
  }
  if (block->dictionary.release != nullptr) block->dictionary.release(&block->dictionary);
  delete block;
  item->release = nullptr;
}

void export_schema(const Node& node, ArrowSchema* out, int64_t flags = 0) {
  auto block = std::make_unique<SchemaBlock>();
  block->children.resize(node.children.size());
  for (size_t i = 0; i < node.children.size(); ++i) {
    export_schema(node.children[i], &block->children[i], ARROW_FLAG_NULLABLE);
    block->child_list.push_back(&block->children[i]);
  }
  if (node.dictionary) export_schema(*node.dictionary, &block->dictionary);
  *out = {node.format, node.name, nullptr, flags, static_cast<int64_t>(node.children.size()),
          block->child_list.data(), node.dictionary ? &block->dictionary : nullptr,
          release_tree<SchemaBlock, ArrowSchema>, block.get()};
  block.release();
}

// An array's structures, and a share of what owns its buffers: each node
// keeps its buffers alive on its own, so a consumer may move any child out.
struct ArrayBlock {
  std::shared_ptr<const void> owner;
  std::vector<const void*> buffers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_list;
  ArrowArray dictionary{};
};

void export_array(const std::shared_ptr<const void>& owner, const Node& node, ArrowArray* out) {
  auto block = std::make_unique<ArrayBlock>();
  block->owner = owner;
  for (const auto& buffer : node.buffers) block->buffers.push_back(buffer.get());
  block->children.resize(node.children.size());
  for (size_t i = 0; i < node.children.size(); ++i) {
    export_array(owner, node.children[i], &block->children[i]);
    block->child_list.push_back(&block->children[i]);
  }
  if (node.dictionary) export_array(node.dictionary, *node.dictionary, &block->dictionary);
  *out = {node.length, node.null_count, 0, static_cast<int64_t>(node.buffers.size()),
          static_cast<int64_t>(node.children.size()), block->buffers.data(), block->child_list.data(),
          node.dictionary ? &block->dictionary : nullptr, release_tree<ArrayBlock, ArrowArray>, block.get()};
  block.release();
}

struct StreamBlock {
  std::shared_ptr<const Node> type;  // the first batch, kept for its type
  Parts parts;
  size_t next = 0;
  std::string error;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  try {
    export_schema(*static_cast<StreamBlock*>(stream->private_data)->type, out);
    return 0;
  } catch (const std::exception& e) {
    static_cast<StreamBlock*>(stream->private_data)->error = "out of memory";
    return ENOMEM;
  }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* block = static_cast<StreamBlock*>(stream->private_data);
  try {
    if (block->next == block->parts.size()) {
      out->release = nullptr;
      return 0;
    }
    export_array(block->parts[block->next], *block->parts[block->next], out);
    block->parts[block->next++].reset();  // the consumer's share keeps it now
    return 0;
  } catch (const std::exception& e) {
    block->error = "out of memory";
    return ENOMEM;
  }
}

const char* stream_error(ArrowArrayStream* stream) {
  const auto* block = static_cast<StreamBlock*>(stream->private_data);
  return block->error.empty() ? nullptr : block->error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
  delete static_cast<StreamBlock*>(stream->private_data);
  stream->release = nullptr;
}

template <class T>
void free_capsule(PyObject* capsule, const char* name) {
  auto* value = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (value == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (value->release != nullptr) value->release(value);
  delete value;
}

void free_schema_capsule(PyObject* c) { free_capsule<ArrowSchema>(c, "arrow_schema"); }
void free_array_capsule(PyObject* c) { free_capsule<ArrowArray>(c, "arrow_array"); }
void free_stream_capsule(PyObject* c) { free_capsule<ArrowArrayStream>(c, "arrow_array_stream"); }

// A capsule owning `value`, released with it unless a consumer moved it out.
template <class T>
PyObject* capsule(std::unique_ptr<T> value, const char* name, PyCapsule_Destructor destructor) {
  PyObject* made = PyCapsule_New(value.get(), name, destructor);
  if (made == nullptr) {
    if (value->release != nullptr) value->release(value.get());
    return nullptr;
  }
  value.release();
  return made;
}

PyObject* schema_capsule(const Node& node) {
  auto schema = std::make_unique<ArrowSchema>();
  export_schema(node, schema.get());
  return capsule(std::move(schema), "arrow_schema", free_schema_capsule);
}

ColumnsObject* as_columns(PyObject* self) { return reinterpret_cast<ColumnsObject*>(self); }

PyObject* columns_arrow_c_array(PyObject* self, PyObject* const*, Py_ssize_t) {
  return guarded([&]() -> PyObject* {
    ColumnsObject* columns = as_columns(self);
    Parts& parts = *columns->parts;
    if (parts.size() != 1) {
      // Batches of a stream joined once, on first asking, and kept joined.
      auto joined = std::make_shared<Node>();
      without_gil([&] { *joined = concatenate(parts); });
      parts = {std::move(joined)};
    }
    Ref schema(schema_capsule(*parts.front()));
    check(bool(schema));
    auto array = std::make_unique<ArrowArray>();
    export_array(parts.front(), *parts.front(), array.get());
    Ref array_capsule(capsule(std::move(array), "arrow_array", free_array_capsule));
    check(bool(array_capsule));
    return PyTuple_Pack(2, schema.get(), array_capsule.get());
  });
}

PyObject* columns_arrow_c_stream(PyObject* self, PyObject* const*, Py_ssize_t) {
  return guarded([&]() -> PyObject* {
    auto stream = std::make_unique<ArrowArrayStream>();
    auto block = std::make_unique<StreamBlock>();
    block->parts = *as_columns(self)->parts;
    block->type = block->parts.front();
    *stream = {stream_schema, stream_next, stream_error, release_stream, block.release()};
    return capsule(std::move(stream), "arrow_array_stream", free_stream_capsule);
  });
}

PyObject* columns_arrow_c_schema(PyObject* self, PyObject*) {
  return guarded([&] { return schema_capsule(*as_columns(self)->parts->front()); });
}

// A string field's rows as str and None, set into `list` from `at` on. The
// documents are ASCII by construction; errors may quote any text.
void set_texts(PyObject* list, Py_ssize_t at, const Node& field, bool ascii) {
  const uint8_t* valid = field.buffers[0].get();
  const auto* offsets = reinterpret_cast<const int64_t*>(field.buffers[1].get());
  const char* data = reinterpret_cast<const char*>(field.buffers[2].get());
  for (int64_t i = 0; i < field.length; ++i, ++at) {
    if (valid != nullptr && !bit(valid, i)) continue;  // None already
    const auto size = static_cast<Py_ssize_t>(offsets[i + 1] - offsets[i]);
    PyObject* item = ascii ? PyUnicode_New(size, 127) : PyUnicode_DecodeUTF8(data + offsets[i], size, "strict");
    check(item != nullptr);
    if (ascii) std::memcpy(PyUnicode_1BYTE_DATA(item), data + offsets[i], static_cast<size_t>(size));
    PyObject* none = PyList_GET_ITEM(list, at);
    PyList_SET_ITEM(list, at, item);
    Py_DECREF(none);
  }
}

PyObject* columns_lists(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const Parts& parts = *as_columns(self)->parts;
    if (parts.front()->children.size() != 2) raise(PyExc_TypeError, "lists() gives documents and errors only");
    Py_ssize_t rows = 0;
    for (const auto& part : parts) rows += static_cast<Py_ssize_t>(part->length);
    // Filled with None first: a list is never seen with holes, even when
    // making a str fails halfway.
    Ref documents(PyList_New(rows));
    Ref errors(PyList_New(rows));
    check(documents && errors);
    for (Py_ssize_t i = 0; i < rows; ++i) {
      PyList_SET_ITEM(documents.get(), i, Py_NewRef(Py_None));
      PyList_SET_ITEM(errors.get(), i, Py_NewRef(Py_None));
    }
    Py_ssize_t at = 0;
    for (const auto& part : parts) {
      set_texts(documents.get(), at, part->children[0], true);
      set_texts(errors.get(), at, part->children[1], false);
      at += static_cast<Py_ssize_t>(part->length);
    }
    return PyTuple_Pack(2, documents.get(), errors.get());
  });
}

Py_ssize_t columns_length(PyObject* self) {
  Py_ssize_t rows = 0;
  for (const auto& part : *as_columns(self)->parts) rows += static_cast<Py_ssize_t>(part->length);
  return rows;
}

void columns_dealloc(PyObject* self) {
  delete as_columns(self)->parts;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef g_columns_methods[] = {
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(columns_arrow_c_array)),
     METH_FASTCALL, "The columns as one Arrow struct array: (schema, array) capsules."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(columns_arrow_c_stream)),
     METH_FASTCALL, "The columns as an Arrow stream of struct arrays, a batch of the input each."},
    {"__arrow_c_schema__", columns_arrow_c_schema, METH_NOARGS, "The columns' Arrow type."},
    {"lists", columns_lists, METH_NOARGS, "(documents, errors): two lists of str and None."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* make_columns(Parts parts, unsigned threads) {
  auto* self = PyObject_New(ColumnsObject, g_columns_type);
  check(self != nullptr);
  self->parts = new (std::nothrow) Parts(std::move(parts));
  self->threads = threads;
  if (self->parts == nullptr) {
    Py_DECREF(self);
    throw std::bad_alloc();
  }
  return reinterpret_cast<PyObject*>(self);
}

// ---- the entries ----

PyObject* decode_entry(Output output, const char* format, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"payloads", "version", "threads", nullptr};
    PyObject* payloads = nullptr;
    PyObject* version = nullptr;
    PyObject* threads_arg = nullptr;
    check(PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &payloads,
                                      &version, &threads_arg));
    const unsigned threads = read_threads(threads_arg);
    const VersionColumn versions = read_versions(version);
    if (is_arrow(payloads)) return make_columns(decode_arrow(payloads, versions, output, threads), threads);
    check_payload_sequence(payloads);
    return make_columns(decode_sequence(payloads, versions, output, threads), threads);
  });
}

// Rows appended to two lists, each document made straight into its str.
class ListsBuilder {
 public:
  ListsBuilder() : documents_(PyList_New(0)), errors_(PyList_New(0)) { check(documents_ && errors_); }

  void add(const Row& r) {
    if (r.kind == Row::Kind::Null) return append(Py_NewRef(Py_None), Py_NewRef(Py_None));
    if (r.kind == Row::Kind::Failed) {
      return append(Py_NewRef(Py_None),
                    PyUnicode_DecodeUTF8(r.text.data(), static_cast<Py_ssize_t>(r.text.size()), "strict"));
    }
    const auto length = document_.prepare(r.version, r.text);
    if (!length.ok()) {
      const auto message = accel::failure_message(length.error());
      return append(Py_NewRef(Py_None),
                    PyUnicode_FromStringAndSize(message.view().data(), static_cast<Py_ssize_t>(message.size())));
    }
    // ASCII by construction: a one-byte str written in place.
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(length.value()), 127);
    if (text != nullptr) {
      char* const at = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
      if (document_.write(at, length.value()) != at + length.value()) {
        Py_DECREF(text);
        throw std::logic_error("the document's length differs from its measure");
      }
    }
    append(text, Py_NewRef(Py_None));
  }

  PyObject* result() const { return PyTuple_Pack(2, documents_.get(), errors_.get()); }

 private:
  // Takes both references, even when one of them is a failure.
  void append(PyObject* document, PyObject* error) {
    Ref d(document);
    Ref e(error);
    check(d && e && PyList_Append(documents_.get(), document) == 0 && PyList_Append(errors_.get(), error) == 0);
  }

  Ref documents_;
  Ref errors_;
  fused::Document document_;
};

// For callers that want Python objects: one write of each text instead of
// two, on the calling thread.
PyObject* document_lists(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"payloads", "version", nullptr};
    PyObject* payloads = nullptr;
    PyObject* version = nullptr;
    check(PyArg_ParseTupleAndKeywords(args, kwargs, "OO:document_lists", const_cast<char**>(keywords), &payloads,
                                      &version));
    const VersionColumn versions = read_versions(version);
    ListsBuilder lists;
    if (is_arrow(payloads)) {
      each_batch(payloads, versions, [&](const TextColumn& texts, int64_t base) {
        for (int64_t row = 0; row < texts.size(); ++row) {
          lists.add(texts.is_null(row) ? Row{} : with_version(versions, base + row, texts.text(row)));
        }
      });
      return lists.result();
    }
    check_payload_sequence(payloads);
    SequenceRows in(payloads);
    read_sequence(versions, in);
    for (const Row& r : in.input) lists.add(r);
    return lists.result();
  });
}

PyObject* documents(PyObject*, PyObject* args, PyObject* kwargs) {
  return decode_entry(Output::Documents, "OO|$O:documents", args, kwargs);
}

PyObject* records(PyObject*, PyObject* args, PyObject* kwargs) {
  return decode_entry(Output::Records, "OO|$O:records", args, kwargs);
}

PyMethodDef g_functions[] = {
    {"documents", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(documents)),
     METH_VARARGS | METH_KEYWORDS,
     "documents(payloads, version, *, threads=None)\n--\n\n"
     "Each payload's document as parse returns it, or the message parse raises: Arrow\n"
     "struct<document: string, error: string> through the Arrow PyCapsule interface."},
    {"document_lists", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(document_lists)),
     METH_VARARGS | METH_KEYWORDS,
     "document_lists(payloads, version)\n--\n\n"
     "(documents, errors): what documents(...).lists() gives, each document made\n"
     "straight into its str on the calling thread."},
    {"records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records)),
     METH_VARARGS | METH_KEYWORDS,
     "records(payloads, version, *, threads=None)\n--\n\n"
     "Each payload's fields in typed Arrow columns (version, timestamp, range, freq,\n"
     "noise, antialias, acc_temp, samples) and the message parse raises as error;\n"
     "a field the row's version lacks, and a failed row's fields, are null."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "vorlane_binary_parser_arrow",
                            "Columns of payloads decoded into Arrow columns.", -1, g_functions,
                            nullptr, nullptr, nullptr, nullptr};

PyObject* init_module() {
  if (g_columns_type == nullptr) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Decoded columns; hand them to any Arrow consumer.")},
        {Py_tp_methods, g_columns_methods},
        {Py_tp_dealloc, reinterpret_cast<void*>(columns_dealloc)},
        {Py_mp_length, reinterpret_cast<void*>(columns_length)},
        {0, nullptr},
    };
    PyType_Spec type_spec = {"vorlane_binary_parser_arrow.Columns", static_cast<int>(sizeof(ColumnsObject)), 0,
                             Py_TPFLAGS_DEFAULT, slots};
    g_columns_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    check(g_columns_type != nullptr);
    learn_version_messages();
  }
  Ref module(PyModule_Create(&g_module_def));
  check(bool(module));
  check(PyModule_AddObjectRef(module.get(), "Columns", reinterpret_cast<PyObject*>(g_columns_type)) == 0);
  Ref all(Py_BuildValue("[ssss]", "Columns", "document_lists", "documents", "records"));
  check(bool(all) && PyModule_AddObjectRef(module.get(), "__all__", all.get()) == 0);
  return Py_NewRef(module.get());
}

}  // namespace
}  // namespace vorlane::batch

PyMODINIT_FUNC PyInit_vorlane_binary_parser_arrow(void) {
  const vorlane::cpu::Line refused = vorlane::cpu::forced_path_refusal();
  if (!refused.empty()) {
    PyErr_Format(PyExc_ImportError, "vorlane_binary_parser_arrow: %s", refused.c_str());
    return nullptr;
  }
  return vorlane::batch::guarded(vorlane::batch::init_module);
}
