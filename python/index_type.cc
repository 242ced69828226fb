#include "python/index_type.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/directories/directory.h"
#include "core/dsl/document.h"
#include "core/dsl/schema.h"
#include "core/index/index.h"
#include "core/index/index_config.h"
#include "core/query/boolean.h"
#include "core/query/term.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/runtime.h"
#include "python/search.h"

namespace zelvar::python {
namespace {

// The instance layout. `index` and `schema` are set when the object is
// created and never changed afterwards.
struct IndexObject {
  PyObject ob_base;  // what PyObject_HEAD declares
  std::shared_ptr<Index> index;
  std::shared_ptr<const Schema> schema;
};

// The class, created once by module initialisation and kept by the module.
PyTypeObject* g_index_type = nullptr;

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

// C++ exceptions must not unwind into the interpreter: the engine reports its
// failures as values, so what remains here is memory exhaustion.
template <class F>
PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_failure(e.what());
  }
}

// Converts one bound argument with `extract`; a failure is re-raised under
// the parameter's name (wrap_argument_error).
template <class T>
bool convert_argument(bool (*extract)(PyObject*, T&), PyObject* object, const char* name, T& out) {
  if (extract(object, out)) return true;
  wrap_argument_error(name);
  return false;
}

// A new instance holding `index` and `schema`; on failure the index is
// released with the caller's reference.
PyObject* new_index_object(std::shared_ptr<Index> index, std::shared_ptr<const Schema> schema) {
  PyObject* object = g_index_type->tp_alloc(g_index_type, 0);
  if (object == nullptr) return nullptr;
  IndexObject* self = as_index(object);
  new (&self->index) std::shared_ptr<Index>(std::move(index));
  new (&self->schema) std::shared_ptr<const Schema>(std::move(schema));
  return object;
}

void index_dealloc(PyObject* object) {
  IndexObject* self = as_index(object);
  PyTypeObject* type = Py_TYPE(object);
  // The index goes first, then the schema copy.
  self->index.~shared_ptr();
  self->schema.~shared_ptr();
  type->tp_free(object);
  Py_DECREF(type);
}

// Looks up every field of `pairs` in the schema copy and adds one term query
// per pair through `add`; false with ValueError set at the first unknown field.
template <class Add>
bool add_clauses(const Schema& schema, const std::vector<TermPair>& pairs, Add add) {
  for (const auto& [field_name, term] : pairs) {
    std::optional<Field> field = schema.get_field(field_name);
    if (!field) {
      raise_field_not_found(field_name);
      return false;
    }
    add(TermQuery::text(*field, term));
  }
  return true;
}

// [(global document number, score), ...] in merged order.
PyObject* hits_to_py(const std::vector<Hit>& hits) {
  return new_list(hits.size(), [&](size_t i) -> PyObject* {
    PyRef doc = PyRef::steal(PyLong_FromUnsignedLong(hits[i].doc_id));
    if (!doc) return nullptr;
    PyRef score = PyRef::steal(PyFloat_FromDouble(static_cast<double>(hits[i].score)));
    if (!score) return nullptr;
    return PyTuple_Pack(2, doc.get(), score.get());
  });
}

// Runs the merged search through the runtime and converts its result.
PyObject* run_search(const IndexObject& self, const Query& query, size_t limit) {
  runtime::Runtime* runtime = get_runtime();
  if (runtime == nullptr) return nullptr;
  Result<std::vector<Hit>> hits =
      runtime->block_on([&] { return merged_search(*self.index, query, limit); });
  if (!hits) return raise_engine_error(kSearchFailed, hits.error());
  return hits_to_py(*hits);
}

// A document as {field name: value}; pairs whose field number has no entry in
// the schema copy are skipped, and the last pair of a name wins.
PyObject* document_to_py(const Schema& schema, const Document& document) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [field, value] : document.field_values) {
    const FieldEntry* entry = schema.get_field_entry(field);
    if (entry == nullptr) continue;
    PyRef py_value = PyRef::steal(field_value_to_py(value));
    if (!py_value) return nullptr;
    PyRef key = PyRef::steal(PyUnicode_FromStringAndSize(
        entry->name.data(), static_cast<Py_ssize_t>(entry->name.size())));
    if (!key || PyDict_SetItem(dict.get(), key.get(), py_value.get()) < 0) return nullptr;
  }
  return dict.release();
}

// ---- methods -------------------------------------------------------------------

PyObject* index_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path"};
    PyObject* slots[1];
    if (!bind_arguments("ZelvarIndex.open()", kParams, args, nargs, kwnames, slots)) return nullptr;
    std::string path;
    if (!convert_argument(extract_str, slots[0], "path", path)) return nullptr;
    runtime::Runtime* runtime = get_runtime();
    if (runtime == nullptr) return nullptr;
    // The file layer takes paths as C strings; a NUL inside would silently
    // name a different folder.
    if (path.find('\0') != std::string::npos) {
      return raise_engine_error(kOpenFailed, IoError(IoErrorKind::InvalidInput,
                                                     "file name contained an unexpected NUL byte"));
    }
    Result<std::shared_ptr<Index>> opened = runtime->block_on(
        [&] { return Index::open(FsDirectory(path), IndexConfig::default_config()); });
    if (!opened) return raise_engine_error(kOpenFailed, opened.error());
    std::shared_ptr<const Schema> schema = (*opened)->schema()->deep_copy();
    return new_index_object(std::move(*opened), std::move(schema));
  });
}

PyObject* index_num_docs(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLong(as_index(self)->index->num_docs());
}

PyObject* index_num_segments(PyObject* self, PyObject*) {
  return guarded(
      [&] { return PyLong_FromSize_t(as_index(self)->index->segment_readers().size()); });
}

PyObject* index_field_names(PyObject* self, PyObject*) {
  const std::vector<FieldEntry>& entries = as_index(self)->schema->field_entries();
  return new_list(entries.size(), [&](size_t i) {
    return PyUnicode_FromStringAndSize(entries[i].name.data(),
                                       static_cast<Py_ssize_t>(entries[i].name.size()));
  });
}

PyObject* index_get_document(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"doc_id"};
    PyObject* slots[1];
    if (!bind_arguments("ZelvarIndex.get_document()", kParams, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    uint32_t doc_id = 0;
    if (!convert_argument(extract_doc_id, slots[0], "doc_id", doc_id)) return nullptr;
    const IndexObject& index = *as_index(self);
    runtime::Runtime* runtime = get_runtime();
    if (runtime == nullptr) return nullptr;
    return runtime->block_on([&]() -> PyObject* {
      Result<std::optional<Document>> document = index.index->doc(doc_id);
      if (!document) return raise_engine_error(kGetDocumentFailed, document.error());
      if (!document->has_value()) Py_RETURN_NONE;
      return document_to_py(*index.schema, **document);
    });
  });
}

PyObject* index_search_term(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"field", "term", "limit"};
    PyObject* slots[3];
    if (!bind_arguments("ZelvarIndex.search_term()", kParams, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    std::string field_name;
    std::string term;
    size_t limit = 0;
    if (!convert_argument(extract_str, slots[0], "field", field_name) ||
        !convert_argument(extract_str, slots[1], "term", term) ||
        !convert_argument(extract_limit, slots[2], "limit", limit)) {
      return nullptr;
    }
    const IndexObject& index = *as_index(self);
    std::optional<Field> field = index.schema->get_field(field_name);
    if (!field) return raise_field_not_found(field_name);
    TermQuery query = TermQuery::text(*field, term);
    return run_search(index, query, limit);
  });
}

PyObject* index_search_boolean(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"must", "should", "must_not", "limit"};
    PyObject* slots[4];
    if (!bind_arguments("ZelvarIndex.search_boolean()", kParams, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    std::vector<TermPair> clauses[3];
    for (int i = 0; i < 3; ++i) {
      if (!convert_argument(extract_pairs, slots[i], kParams[i], clauses[i])) return nullptr;
    }
    size_t limit = 0;
    if (!convert_argument(extract_limit, slots[3], "limit", limit)) return nullptr;
    const IndexObject& index = *as_index(self);
    BooleanQuery query;
    // All must pairs first, then should, then must-not: the first unknown
    // field in that order is the one reported, and nothing is searched.
    const bool built =
        add_clauses(*index.schema, clauses[0],
                    [&](TermQuery q) { query = std::move(query).must(std::move(q)); }) &&
        add_clauses(*index.schema, clauses[1],
                    [&](TermQuery q) { query = std::move(query).should(std::move(q)); }) &&
        add_clauses(*index.schema, clauses[2],
                    [&](TermQuery q) { query = std::move(query).must_not(std::move(q)); });
    if (!built) return nullptr;
    return run_search(index, query, limit);
  });
}

PyObject* index_reload(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    runtime::Runtime* runtime = get_runtime();
    if (runtime == nullptr) return nullptr;
    Index& index = *as_index(self)->index;
    Result<void> reloaded = runtime->block_on([&] { return index.reload(); });
    if (!reloaded) return raise_engine_error(kReloadFailed, reloaded.error());
    Py_RETURN_NONE;
  });
}

// ---- the class -------------------------------------------------------------------

template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Docstrings carry the signature line first, so that the interpreter derives
// __text_signature__ and __doc__ from them.
PyMethodDef g_methods[] = {
    {"open", as_cfunction(index_open), METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     "open(path)\n--\n\nOpen an existing index"},
    {"num_docs", as_cfunction(index_num_docs), METH_NOARGS,
     "num_docs($self)\n--\n\nGet the number of documents in the index"},
    {"num_segments", as_cfunction(index_num_segments), METH_NOARGS,
     "num_segments($self)\n--\n\nGet the number of segments"},
    {"field_names", as_cfunction(index_field_names), METH_NOARGS,
     "field_names($self)\n--\n\nGet field names"},
    {"get_document", as_cfunction(index_get_document), METH_FASTCALL | METH_KEYWORDS,
     "get_document($self, doc_id)\n--\n\nGet a document by ID"},
    {"search_term", as_cfunction(index_search_term), METH_FASTCALL | METH_KEYWORDS,
     "search_term($self, field, term, limit)\n--\n\nSearch the index with a term query"},
    {"search_boolean", as_cfunction(index_search_boolean), METH_FASTCALL | METH_KEYWORDS,
     "search_boolean($self, must, should, must_not, limit)\n--\n\nSearch with a boolean query"},
    {"reload", as_cfunction(index_reload), METH_NOARGS,
     "reload($self)\n--\n\nReload the index to see new segments"},
    {nullptr, nullptr, 0, nullptr},
};

char g_class_doc[] = "Python wrapper for Zelvar Index (read-only)";

PyType_Slot g_slots[] = {
    {Py_tp_doc, g_class_doc},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "ZelvarIndex",
    static_cast<int>(sizeof(IndexObject)),
    0,
    // Not BASETYPE (no subclasses), not HAVE_GC (holds no Python objects), no
    // dict or weak-reference slots, and no constructor. The class is made
    // immutable once its __module__ is set (create_index_type).
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_slots,
};

// The class is named without a module prefix, which makes the interpreter
// warn (DeprecationWarning) while creating it; under `-W error` that warning
// would fail the import, so it is silenced for the creation alone.
PyObject* type_from_spec_quietly(PyType_Spec* spec) {
  PyRef warnings = PyRef::steal(PyImport_ImportModule("warnings"));
  if (!warnings) return nullptr;
  PyRef context = PyRef::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  if (!context) return nullptr;
  PyRef entered = PyRef::steal(PyObject_CallMethod(context.get(), "__enter__", nullptr));
  if (!entered) return nullptr;
  PyRef type;
  PyRef filtered = PyRef::steal(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore",
                                                    PyExc_DeprecationWarning));
  if (filtered) type = PyRef::steal(PyType_FromSpec(spec));
  // Leave the context whatever happened; a failure above stays the one raised.
  PyRef error;
  if (!type) error = take_exception();
  PyRef exited = PyRef::steal(
      PyObject_CallMethod(context.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (!type) {
    restore_exception(std::move(error));
    return nullptr;
  }
  if (!exited) return nullptr;
  return type.release();
}

// The name carries no module, so the interpreter gives the class no
// __module__; without one, tools that print or document the class (help(),
// typing's reprs) fail. It is set here, and only then is the class frozen.
bool set_module_and_freeze(PyObject* type) {
  PyRef module_name = PyRef::steal(PyUnicode_FromString("zelvar_python"));
  if (!module_name || PyObject_SetAttrString(type, "__module__", module_name.get()) < 0) {
    return false;
  }
#if PY_VERSION_HEX >= 0x030E0000
  return PyType_Freeze(reinterpret_cast<PyTypeObject*>(type)) == 0;
#else
  reinterpret_cast<PyTypeObject*>(type)->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  return true;
#endif
}

}  // namespace

PyObject* create_index_type() {
  if (g_index_type != nullptr) return Py_NewRef(reinterpret_cast<PyObject*>(g_index_type));
  PyRef type = PyRef::steal(type_from_spec_quietly(&g_spec));
  if (!type || !set_module_and_freeze(type.get())) return nullptr;
  g_index_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
  return type.release();
}

}  // namespace zelvar::python
