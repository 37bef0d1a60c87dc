#include "intake.hpp"

#include <bit>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "conversions.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "tesrak/element.hpp"
#include "text.hpp"

namespace tesrak_py {
namespace {

constexpr Py_ssize_t kItemSize = 4;
constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

// The tensor protocol's attribute names, interned once and kept for the
// life of the process: they are never released, since a static destructor
// would run after the interpreter has finalized.
struct TensorNames {
  PyObject* data_ptr = intern("data_ptr");
  PyObject* dtype = intern("dtype");
  PyObject* device = intern("device");
  PyObject* type = intern("type");
  PyObject* is_contiguous = intern("is_contiguous");
  PyObject* numel = intern("numel");

  static PyObject* intern(const char* name) {
    return checked(PyUnicode_InternFromString(name)).release();
  }
};

const TensorNames& tensor_names() {
  static const TensorNames names;  // a failed first build is retried next time
  return names;
}

[[noreturn]] void raise_count_mismatch(const char* what, std::uint64_t count, std::uint64_t numel) {
  raise(PyExc_ValueError, std::string("data ") + what + " " + std::to_string(count) +
                              " does not match numel " + std::to_string(numel));
}

// A buffer's format names one item of the element type in the host's
// order: an optional byte-order prefix, then one type character. A native
// "l" is 8 bytes here, so "l" counts only with a standard-size prefix.
template <typename T>
bool accepts_format(const char* format) {
  std::string_view text = format == nullptr ? "B" : format;
  char prefix = '\0';
  if (text.size() == 2) {
    prefix = text[0];
    text.remove_prefix(1);
  }
  if (text.size() != 1) return false;
  const bool native_size = prefix == '\0' || prefix == '@';
  const bool host_order = native_size || prefix == '=' ||
                          (kLittleEndianHost ? prefix == '<' : prefix == '>' || prefix == '!');
  if (!host_order) return false;
  if constexpr (std::is_same_v<T, float>) {
    return text[0] == 'f';
  } else {
    return text[0] == 'i' || (text[0] == 'l' && !native_size);
  }
}

class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False (and no error set) when the object exports no buffer. Objects
  // without the protocol at all, such as tensors, are passed over without
  // raising (and discarding) an exception.
  bool request(PyObject* exporter) {
    if (!PyObject_CheckBuffer(exporter)) return false;
    held_ = PyObject_GetBuffer(exporter, &view_, PyBUF_FULL_RO) == 0;
    if (!held_) PyErr_Clear();
    return held_;
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Path 1. False when the object's buffer is not one this digest reads.
template <typename T>
bool update_from_buffer(tesrak::TensorDigest<T>& digest, PyObject* data) {
  BufferView buffer;
  if (!buffer.request(data)) return false;
  const Py_buffer& view = buffer.view();
  if (view.shape == nullptr || view.strides == nullptr || view.itemsize != kItemSize ||
      !accepts_format<T>(view.format) ||
      reinterpret_cast<std::uintptr_t>(view.buf) % kItemSize != 0) {
    return false;
  }
  const auto count = static_cast<std::uint64_t>(view.len / kItemSize);
  if (count != digest.numel) raise_count_mismatch("element count", count, digest.numel);
  if (PyBuffer_IsContiguous(&view, 'C')) {
    // Already in row-major order: the engine's row copy is the only copy.
    digest.update(std::span<const T>(static_cast<const T*>(view.buf), count));
    return true;
  }
  std::vector<T> values(count);
  check_status(PyBuffer_ToContiguous(values.data(), &view, view.len, 'C'));
  digest.update(values);
  return true;
}

struct TensorDescription {
  std::uintptr_t address;
  std::string dtype_text;
};

// Path 2's probe: nothing when `data` has no working data_ptr() (not a
// tensor); throws for a tensor this digest cannot read, checking device,
// contiguity and element count in that order.
std::optional<TensorDescription> describe_tensor(PyObject* data, std::uint64_t numel) {
  const TensorNames& names = tensor_names();
  PyRef pointer = PyRef::steal(PyObject_CallMethodNoArgs(data, names.data_ptr));
  std::uint64_t address = 0;
  try {
    if (!pointer) throw PythonError();
    address = to_u64(pointer.get());
  } catch (const PythonError&) {
    PyErr_Clear();
    return std::nullopt;
  }

  PyRef dtype = checked(PyObject_GetAttr(data, names.dtype));
  std::string dtype_text = str_text(dtype.get());

  PyRef device = checked(PyObject_GetAttr(data, names.device));
  PyRef device_type = checked(PyObject_GetAttr(device.get(), names.type));
  if (!PyUnicode_Check(device_type.get())) raise_cast_error(device_type.get(), "str");
  if (PyUnicode_CompareWithASCIIString(device_type.get(), "cpu") != 0) {
    raise(PyExc_ValueError, "torch tensor must be on CPU; call .cpu() first");
  }

  PyRef contiguous = checked(PyObject_CallMethodNoArgs(data, names.is_contiguous));
  if (!to_bool(contiguous.get())) {
    raise(PyExc_ValueError, "torch tensor must be contiguous; call .contiguous() first");
  }

  PyRef count_object = checked(PyObject_CallMethodNoArgs(data, names.numel));
  const std::uint64_t count = to_u64(count_object.get());
  if (count != numel) raise_count_mismatch("element count", count, numel);

  return TensorDescription{static_cast<std::uintptr_t>(address), std::move(dtype_text)};
}

// Path 2's read: the tensor's own memory is handed to the engine, whose
// row copy is the only copy. An address off the element alignment is first
// copied byte-wise into aligned storage, never read through a misaligned
// typed pointer.
template <typename T>
void update_in_place(tesrak::TensorDigest<T>& digest, const TensorDescription& tensor) {
  using Traits = tesrak::Element<T>;
  if (tensor.dtype_text.find(Traits::name) == std::string::npos) {
    raise(PyExc_ValueError, "this digest uses dtype " + std::string(Traits::name) +
                                " but tensor dtype is " + tensor.dtype_text);
  }
  const auto count = static_cast<std::size_t>(digest.numel);
  if (count == 0) {
    digest.update({});  // an empty tensor: nothing is read at any address
    return;
  }
  if (tensor.address == 0) {
    raise(PyExc_ValueError, "tensor data_ptr() is null but the tensor has " +
                                std::to_string(count) + " elements");
  }
  if (tensor.address % alignof(T) == 0) {
    digest.update(std::span<const T>(reinterpret_cast<const T*>(tensor.address), count));
    return;
  }
  std::vector<T> aligned(count);
  std::memcpy(aligned.data(), reinterpret_cast<const void*>(tensor.address), count * sizeof(T));
  digest.update(aligned);
}

}  // namespace

template <typename T>
void update_from_python(tesrak::TensorDigest<T>& digest, PyObject* data) {
  if (update_from_buffer(digest, data)) return;
  if (std::optional<TensorDescription> tensor = describe_tensor(data, digest.numel)) {
    update_in_place(digest, *tensor);
    return;
  }
  const std::vector<T> values = to_vector<T>(data);
  if (values.size() != digest.numel) raise_count_mismatch("length", values.size(), digest.numel);
  digest.update(values);
}

template void update_from_python(tesrak::TensorDigest<float>&, PyObject*);
template void update_from_python(tesrak::TensorDigest<std::int32_t>&, PyObject*);

}  // namespace tesrak_py
