#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "arguments.hpp"
#include "conversions.hpp"
#include "dtype_choice.hpp"
#include "method_frame.hpp"
#include "methods.hpp"
#include "py_ref.hpp"
#include "results.hpp"
#include "tensor_digest_object.hpp"

namespace tesrak_py {
namespace {

constexpr const char* kTypeName = "builtins.TensorDigest";
constexpr const char* kClassName = "TensorDigest";
constexpr const char* kClassDoc = "TensorDigest(shape, compression, dtype=None)\n--\n\n";
constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

PyObject* allocate(PyTypeObject* type, std::unique_ptr<tesrak::AnyDigest> digest) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) throw PythonError();  // `digest` is freed on the way out
  auto* object = reinterpret_cast<PyTensorDigest*>(self);
  new (&object->borrow) BorrowState();
  object->digest = digest.release();
  return self;
}

template <typename T>
std::unique_ptr<tesrak::AnyDigest> make_digest(std::vector<std::uint64_t> shape,
                                               std::uint64_t compression) {
  return std::make_unique<tesrak::AnyDigest>(std::in_place_type<tesrak::TensorDigest<T>>,
                                             std::move(shape), compression);
}

constexpr const char* kConstructorParameters[] = {"shape", "compression", "dtype"};

PyObject* tensor_digest_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static constexpr Signature kSignature{"TensorDigest.__new__", kConstructorParameters, 2};
  return guarded([&]() -> PyObject* {
    PyObject* bound[std::size(kConstructorParameters)] = {};
    bind_tuple_dict(kSignature, args, kwargs, bound);
    auto shape = convert_argument("shape", [&] { return to_vector<std::uint64_t>(bound[0]); });
    const std::uint64_t compression =
        convert_argument("compression", [&] { return to_u64(bound[1]); });
    const ElementType element = choose_element_type(bound[2]);
    return allocate(type, element == ElementType::Float32
                              ? make_digest<float>(std::move(shape), compression)
                              : make_digest<std::int32_t>(std::move(shape), compression));
  });
}

void tensor_digest_dealloc(PyObject* self) noexcept {
  auto* object = reinterpret_cast<PyTensorDigest*>(self);
  delete object->digest;
  object->borrow.~BorrowState();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* shape_property(PyObject* self, void*) noexcept {
  return property_entry(self, [](PyTensorDigest& object) {
    return visit_digest(object, [](const auto& digest) { return int_list(digest.shape); });
  });
}

PyObject* numel_property(PyObject* self, void*) noexcept {
  return property_entry(self, [](PyTensorDigest& object) {
    return visit_digest(object, [](const auto& digest) {
      return checked(PyLong_FromUnsignedLongLong(digest.numel)).release();
    });
  });
}

PyObject* dtype_property(PyObject* self, void*) noexcept {
  return property_entry(self, [](PyTensorDigest& object) {
    return visit_digest(object, [](const auto& digest) {
      const std::string_view name = std::decay_t<decltype(digest)>::Traits::name;
      return checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())))
          .release();
    });
  });
}

template <typename Method>
PyCFunction as_cfunction(Method method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef kMethods[] = {
    {"update", as_cfunction(update_method), kFastCall, "update($self, data)\n--\n\n"},
    {"flush", as_cfunction(flush_method), METH_NOARGS, "flush($self)\n--\n\n"},
    {"quantile", as_cfunction(quantile_method), kFastCall, "quantile($self, q)\n--\n\n"},
    {"quantiles", as_cfunction(quantiles_method), kFastCall, "quantiles($self, qs)\n--\n\n"},
    {"cell_quantiles", as_cfunction(cell_quantiles_method), kFastCall,
     "cell_quantiles($self, idx, qs)\n--\n\n"},
    {"analyze", as_cfunction(analyze_method), METH_NOARGS, "analyze($self)\n--\n\n"},
    {"merge_cells", as_cfunction(merge_cells_method), kFastCall,
     "merge_cells($self, indices)\n--\n\n"},
    {"merge_channels", as_cfunction(merge_channels_method), kFastCall,
     "merge_channels($self, channel_indices)\n--\n\n"},
    {"merge_all", as_cfunction(merge_all_method), METH_NOARGS, "merge_all($self)\n--\n\n"},
    {"save", as_cfunction(save_method), kFastCall, "save($self, path)\n--\n\n"},
    {"load", as_cfunction(load_method), METH_STATIC | kFastCall, "load(path)\n--\n\n"},
    {"visualize", as_cfunction(visualize_method), METH_NOARGS, "visualize($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"shape", shape_property, nullptr, "", nullptr},
    {"numel", numel_property, nullptr, "", nullptr},
    {"dtype", dtype_property, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tensor_digest_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tensor_digest_dealloc)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No dict or
// weak-reference offset, and no GC: an object refers to no Python object.
PyType_Spec kTypeDefinition = {kTypeName, sizeof(PyTensorDigest), 0, Py_TPFLAGS_DEFAULT, kSlots};

PyTypeObject* build_type() noexcept {
  PyObject* type = PyType_FromSpec(&kTypeDefinition);
  if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);
  PendingError cause = PendingError::fetch();
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", kClassName);
  PendingError error = PendingError::fetch();
  PyException_SetCause(error.value(), Py_XNewRef(cause.value()));
  error.restore();
  return nullptr;
}

}  // namespace

PyTypeObject* tensor_digest_type() noexcept {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = build_type();
  return type;
}

PyObject* new_tensor_digest(std::unique_ptr<tesrak::AnyDigest> digest) {
  PyTypeObject* type = tensor_digest_type();
  if (type == nullptr) throw PythonError();
  return allocate(type, std::move(digest));
}

PyObject* new_tensor_digest(tesrak::AnyDigest&& digest) {
  return new_tensor_digest(std::make_unique<tesrak::AnyDigest>(std::move(digest)));
}

PyTensorDigest& as_tensor_digest(PyObject* self) {
  PyTypeObject* type = tensor_digest_type();
  if (type == nullptr) throw PythonError();
  if (!PyObject_TypeCheck(self, type)) raise_cast_error(self, kClassName);
  return *reinterpret_cast<PyTensorDigest*>(self);
}

}  // namespace tesrak_py
