#include "methods.hpp"

#include <functional>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "conversions.hpp"
#include "intake.hpp"
#include "method_frame.hpp"
#include "results.hpp"

namespace tesrak_py {
namespace {

PyObject* none() { Py_RETURN_NONE; }

// A file path from a str argument.
std::string path_argument(PyObject* value) {
  return convert_argument("path", [&] { return to_path(value); });
}

// How save and load wait for the peer of a pipe or a terminal: with the
// interpreter lock given up, so that other threads run meanwhile, and with
// pending signals checked before each slice, so that Ctrl+C ends the wait
// with KeyboardInterrupt. The object stays held all the while.
void run_wait_slice(const std::function<void()>& slice) {
  if (PyErr_CheckSignals() < 0) throw PythonError();
  PyThreadState* const thread_state = PyEval_SaveThread();
  slice();
  // Not from a destructor: at exit this may end the thread by forced
  // unwinding, which must not start inside a noexcept frame.
  PyEval_RestoreThread(thread_state);
}

// The merges build a new one-cell digest of the same element type.
template <typename Merge>
PyObject* merged(PyTensorDigest& object, Merge&& merge) {
  return visit_digest(object, [&](auto& digest) {
    return new_tensor_digest(tesrak::AnyDigest(merge(digest)));
  });
}

// merge_cells and merge_channels: one list of indices, converted under the
// signature's one parameter name, then merge(digest, indices).
template <typename Merge>
PyObject* merge_listed(const Signature& signature, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Merge&& merge) noexcept {
  return method_entry(signature, self, args, nargs, kwnames,
                      [&](PyTensorDigest& object, BoundArguments arguments) {
                        const std::vector<std::uint64_t> indices =
                            convert_argument(signature.names[0], [&] {
                              return to_vector<std::uint64_t>(arguments[0]);
                            });
                        return merged(object, [&](auto& digest) { return merge(digest, indices); });
                      });
}

constexpr const char* kDataParameter[] = {"data"};
constexpr const char* kLevelParameter[] = {"q"};
constexpr const char* kLevelsParameter[] = {"qs"};
constexpr const char* kCellLevelsParameters[] = {"idx", "qs"};
constexpr const char* kIndicesParameter[] = {"indices"};
constexpr const char* kChannelsParameter[] = {"channel_indices"};
constexpr const char* kPathParameter[] = {"path"};

}  // namespace

PyObject* update_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  static constexpr Signature kSignature{"TensorDigest.update", kDataParameter, 1};
  return method_entry(kSignature, self, args, nargs, kwnames,
                      [](PyTensorDigest& object, BoundArguments arguments) {
                        // `data` is taken as a plain object: its errors carry no prefix.
                        visit_digest(object, [&](auto& digest) {
                          update_from_python(digest, arguments[0]);
                        });
                        return none();
                      });
}

PyObject* flush_method(PyObject* self, PyObject*) noexcept {
  return method_entry(self, [](PyTensorDigest& object) {
    visit_digest(object, [](auto& digest) { digest.flush(); });
    return none();
  });
}

PyObject* quantile_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  static constexpr Signature kSignature{"TensorDigest.quantile", kLevelParameter, 1};
  return method_entry(kSignature, self, args, nargs, kwnames,
                      [](PyTensorDigest& object, BoundArguments arguments) {
                        const float q = convert_argument("q", [&] { return to_f32(arguments[0]); });
                        return visit_digest(object, [&](auto& digest) {
                          digest.flush();
                          return float_list(digest.quantile_no_flush(q));
                        });
                      });
}

PyObject* quantiles_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  static constexpr Signature kSignature{"TensorDigest.quantiles", kLevelsParameter, 1};
  return method_entry(
      kSignature, self, args, nargs, kwnames, [](PyTensorDigest& object, BoundArguments arguments) {
        const std::vector<float> qs =
            convert_argument("qs", [&] { return to_vector<float>(arguments[0]); });
        return visit_digest(object, [&](auto& digest) {
          digest.flush();  // once: every level sees the same state
          return build_list(qs.size(), [&](std::size_t level) {
            return float_list(digest.quantile_no_flush(qs[level]));
          });
        });
      });
}

PyObject* cell_quantiles_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  static constexpr Signature kSignature{"TensorDigest.cell_quantiles", kCellLevelsParameters, 2};
  return method_entry(
      kSignature, self, args, nargs, kwnames, [](PyTensorDigest& object, BoundArguments arguments) {
        const std::uint64_t idx = convert_argument("idx", [&] { return to_u64(arguments[0]); });
        const std::vector<float> qs =
            convert_argument("qs", [&] { return to_vector<float>(arguments[1]); });
        return visit_digest(object, [&](auto& digest) {
          digest.flush();
          return float_list(digest.cell_quantiles(idx, qs));
        });
      });
}

PyObject* analyze_method(PyObject* self, PyObject*) noexcept {
  return method_entry(self, [](PyTensorDigest& object) {
    return visit_digest(object, [](auto& digest) { return label_list(digest.analyze()); });
  });
}

PyObject* merge_cells_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  static constexpr Signature kSignature{"TensorDigest.merge_cells", kIndicesParameter, 1};
  return merge_listed(kSignature, self, args, nargs, kwnames,
                      [](auto& digest, const auto& indices) { return digest.merge_cells(indices); });
}

PyObject* merge_channels_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  static constexpr Signature kSignature{"TensorDigest.merge_channels", kChannelsParameter, 1};
  return merge_listed(kSignature, self, args, nargs, kwnames, [](auto& digest, const auto& channels) {
    return digest.merge_channels(channels);
  });
}

PyObject* merge_all_method(PyObject* self, PyObject*) noexcept {
  return method_entry(self, [](PyTensorDigest& object) {
    return merged(object, [](auto& digest) { return digest.merge_all(); });
  });
}

PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr Signature kSignature{"TensorDigest.save", kPathParameter, 1};
  return lock_releasing_method_entry(
      kSignature, self, args, nargs, kwnames, [](PyTensorDigest& object, BoundArguments arguments) {
        const std::string path = path_argument(arguments[0]);
        visit_digest(object, [&](auto& digest) { digest.save(path, run_wait_slice); });
        return none();
      });
}

PyObject* load_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature kSignature{"TensorDigest.load", kPathParameter, 1};
  return guarded_unwindable([&]() -> PyObject* {
    PyObject* bound[1] = {};
    bind_fastcall(kSignature, args, nargs, kwnames, bound);
    const std::string path = path_argument(bound[0]);
    return new_tensor_digest(tesrak::load_snapshot(path, run_wait_slice));
  });
}

}  // namespace tesrak_py
