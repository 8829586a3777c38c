// The Python surface of plexo. In Python terms the module is:
//
//   __version__ = "0.4.0"
//   def convert_ts_to_mp4(data: bytes, reset_timestamps: bool = False) -> bytes: ...
//   def defragment_mp4(data: bytes) -> bytes: ...
//   def reset_mp4_timestamps(data: bytes) -> bytes: ...
//   def convert_mp4_reset_timestamps(data: bytes) -> bytes: ...
//   def mux_fmp4_tracks(video: bytes, audio: bytes) -> bytes: ...
//   def extract_thumbnail_from_ts(data: bytes) -> bytes: ...
//   def extract_thumbnail_from_mp4(data: bytes) -> bytes: ...
//   class FragmentedMP4Processor:
//       def set_init_segment(self, data: bytes) -> None: ...
//       def process_segment(self, data: bytes) -> bytes: ...
//       def reset(self) -> None: ...
//       base_decode_time: int | None  # read-only
//
// After the class come private functions for the `plexo` package, which choose per call where
// the transport-stream diagnostic lines go (True: standard output, False: nowhere, a list:
// appended to it as str lines):
//
//   def _convert_ts_to_mp4(data: bytes, reset_timestamps: bool, diagnostics: bool | list[str],
//                          all_audio: bool = False) -> bytes: ...
//   def _extract_thumbnail_from_ts(data: bytes, diagnostics: bool | list[str]) -> bytes: ...
//   def _probe(data: bytes, all_audio: bool = False) -> dict: ...  # format, duration and tracks
//       (with each track's language) of an MP4 or a TS
//   def _defragment_file(src_fd: int, dst_fd: int) -> int: ...
//   def _mux_files(video_fd: int, audio_fd: int, dst_fd: int) -> int: ...  # renumbers, as below
//   def _reset_file(src_fd: int, dst_fd: int) -> int: ...
//   def _convert_file(src_fd: int, dst_fd: int, reset_timestamps: bool,
//                     diagnostics: bool | list[str], all_audio: bool = False) -> int: ...
//   def _container(data: bytes) -> str | None: ...  # "ts", "mp4", or None for neither
//   def _mux_fmp4_tracks_renumbered(video: bytes, audio: bytes) -> bytes: ...  # audio tracks
//       whose IDs collide with video tracks take the lowest free IDs instead of being refused
//   def _convert_ts_to_fmp4(data: bytes, fragment_duration: float, diagnostics: bool | list[str],
//                           all_audio: bool = False) -> bytes: ...
//
// `all_audio` True makes every audio stream of the programme a track of its own, in PMT order
// (the first enabled, the others alternatives to it); False converts the first only.
//
// The *_file functions read files open for reading at the given descriptors and write the
// output at `dst_fd` (a new, empty file open for writing), in memory bounded by the tables,
// without the lock; they return the number of bytes written. A failed read or write raises
// OSError with its errno.
//
// Only argument conversion, lock release, dispatch and error mapping live here.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "core/buffer.hpp"
#include "core/copy.hpp"
#include "core/error.hpp"
#include "fragment_processor/fragment_processor.hpp"
#include "mp4_parser/file_input.hpp"
#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/operations.hpp"
#include "mp4_parser/probe.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "mp4_writer/ts_segmenter.hpp"
#include "thumbnail/thumbnail.hpp"
#include "ts_parser/packet_sync.hpp"

namespace {

using plexo::Buffer;
using plexo::ByteView;
using plexo::Error;
using plexo::Result;

constexpr const char* kVersion = "0.4.0";

// ---- argument conversion -------------------------------------------------------------

// Raises TypeError for `obj` not being an instance of `expected`, with the note naming the
// argument.
void raise_wrong_type(PyObject* obj, const char* expected, const char* argument) {
  PyObject* message = nullptr;
  if (obj == Py_None) {
    message = PyUnicode_FromFormat("'None' is not an instance of '%s'", expected);
  } else {
    PyObject* type_name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                                 "__name__");
    if (!type_name) return;
    message = PyUnicode_FromFormat("'%U' object is not an instance of '%s'", type_name, expected);
    Py_DECREF(type_name);
  }
  if (!message) return;
  PyObject* exc = PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr);
  Py_DECREF(message);
  if (!exc) return;
  PyObject* note = PyUnicode_FromFormat("while processing '%s'", argument);
  if (note) {
    PyObject* added = PyObject_CallMethod(exc, "add_note", "O", note);
    if (added) {
      Py_DECREF(added);
    } else {
      // Interpreters before 3.11 have no add_note; __notes__ carries the same text.
      PyErr_Clear();
      PyObject* notes = PyList_New(1);
      if (notes) {
        Py_INCREF(note);
        PyList_SetItem(notes, 0, note);
        if (PyObject_SetAttrString(exc, "__notes__", notes) < 0) PyErr_Clear();
        Py_DECREF(notes);
      }
    }
    Py_DECREF(note);
  }
  PyErr_SetObject(PyExc_TypeError, exc);
  Py_DECREF(exc);
}

// A read-only view of a bytes argument. The view stays valid while the call holds its
// arguments, and bytes objects are immutable, so the lock can be released over it.
bool bytes_argument(PyObject* obj, const char* argument, ByteView* view) {
  if (!PyBytes_Check(obj)) {
    raise_wrong_type(obj, "bytes", argument);
    return false;
  }
  char* data = nullptr;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &length) < 0) return false;
  *view = ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(length));
  return true;
}

bool type_is(PyObject* type, const char* module, const char* name) {
  PyObject* type_module = PyObject_GetAttrString(type, "__module__");
  if (!type_module) {
    PyErr_Clear();
    return false;
  }
  PyObject* type_name = PyObject_GetAttrString(type, "__name__");
  if (!type_name) {
    PyErr_Clear();
    Py_DECREF(type_module);
    return false;
  }
  bool match = PyUnicode_Check(type_module) && PyUnicode_Check(type_name) &&
               PyUnicode_CompareWithASCIIString(type_module, module) == 0 &&
               PyUnicode_CompareWithASCIIString(type_name, name) == 0;
  Py_DECREF(type_module);
  Py_DECREF(type_name);
  return match;
}

// A bool, or a numpy boolean scalar through its __bool__.
bool bool_argument(PyObject* obj, const char* argument, bool* value) {
  if (PyBool_Check(obj)) {
    *value = obj == Py_True;
    return true;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (type_is(type, "numpy", "bool_") || type_is(type, "numpy", "bool")) {
    PyObject* method = PyObject_GetAttrString(type, "__bool__");
    if (!method) {
      PyErr_Clear();
      PyObject* name = PyObject_GetAttrString(type, "__name__");
      if (!name) return false;
      PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                   name);
      Py_DECREF(name);
      return false;
    }
    PyObject* result = PyObject_CallFunctionObjArgs(method, obj, nullptr);
    Py_DECREF(method);
    if (!result) return false;
    bool ok = PyBool_Check(result);
    if (ok) *value = result == Py_True;
    else raise_wrong_type(result, "bool", argument);
    Py_DECREF(result);
    return ok;
  }
  raise_wrong_type(obj, "bool", argument);
  return false;
}

// ---- running an operation ------------------------------------------------------------

PyObject* raise_operation_error(const Error& error) {
  if (error.system_error != 0) {
    PyObject* args = Py_BuildValue("(is#)", error.system_error, error.message.data(),
                                   static_cast<Py_ssize_t>(error.message.size()));
    if (!args) return nullptr;
    PyErr_SetObject(PyExc_OSError, args);
    Py_DECREF(args);
    return nullptr;
  }
  PyObject* message = PyUnicode_DecodeUTF8(error.message.data(),
                                           static_cast<Py_ssize_t>(error.message.size()),
                                           "replace");
  if (!message) return nullptr;
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
  return nullptr;
}

// A new bytes object of `size` bytes, not yet filled; its bytes go to `*data`. Null (with
// the exception set) when it cannot be made. A large one is a fresh, untouched allocation:
// huge pages are asked to back it before it is written (a small one comes from memory the
// allocator reuses).
PyObject* new_bytes(std::uint64_t size, char** data) {
  if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (!bytes) return nullptr;
  *data = PyBytes_AsString(bytes);
  if (!*data) {
    Py_DECREF(bytes);
    return nullptr;
  }
  if (size >= plexo::LargeBufferAllocator<std::uint8_t>::kLarge) plexo::advise_huge_pages(*data, size);
  return bytes;
}

PyObject* to_bytes(Result<Buffer>&& result) {
  if (!result) return raise_operation_error(result.error());
  const Buffer& out = result.value();
  char* data = nullptr;
  PyObject* bytes = new_bytes(out.size(), &data);
  if (!bytes) return nullptr;
  plexo::copy_bytes(reinterpret_cast<std::uint8_t*>(data), out.data(), out.size());
  return bytes;
}

// Runs `lock_released(): bool` without the interpreter lock; false on exhausted memory.
template <class Work>
bool released(Work&& work) {
  bool out_of_memory = false;
  PyThreadState* thread = PyEval_SaveThread();
  try {
    work();
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  } catch (const std::length_error&) {
    out_of_memory = true;
  }
  PyEval_RestoreThread(thread);
  return !out_of_memory;
}

// Runs the media work with the interpreter lock released.
template <class Operation>
PyObject* run_released(Operation&& operation) {
  std::optional<Result<Buffer>> result;
  if (!released([&] { result.emplace(operation()); })) return PyErr_NoMemory();
  return to_bytes(std::move(*result));
}

using Planned = std::unique_ptr<plexo::mp4::PlannedOutput>;

// For operations that know their output's size before writing it: plan without the lock,
// allocate the result bytes object of exactly that size, then write straight into it
// without the lock. No intermediate output buffer, no copy under the lock.
template <class Plan>
PyObject* run_planned(Plan&& plan) {
  std::optional<Result<Planned>> plan_result;
  if (!released([&] { plan_result.emplace(plan()); })) return PyErr_NoMemory();
  Result<Planned>& planned = *plan_result;
  if (!planned) return raise_operation_error(planned.error());
  const std::uint64_t size = planned.value()->size();
  char* data = nullptr;
  PyObject* bytes = new_bytes(size, &data);
  if (!bytes) return nullptr;
  plexo::Status written;
  const bool ok = released([&] {
    written = planned.value()->write(
        std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(data), static_cast<std::size_t>(size)));
    planned.value().reset();
  });
  if (!ok || !written) {
    Py_DECREF(bytes);
    if (!ok) return PyErr_NoMemory();
    return raise_operation_error(written.error());
  }
  return bytes;
}

// Where one call's diagnostic lines go: standard output (True), nowhere (False), or a list
// that receives them as str objects once the media work is done.
class CallDiagnostics {
 public:
  bool parse(PyObject* obj) {
    if (PyBool_Check(obj)) {
      enabled_ = obj == Py_True;
      return true;
    }
    if (PyList_Check(obj)) {
      list_ = obj;
      return true;
    }
    raise_wrong_type(obj, "bool", "diagnostics");
    return false;
  }

  plexo::ts::DiagnosticSink sink() {
    if (list_) return plexo::ts::DiagnosticSink::collect(&lines_);
    return enabled_ ? plexo::ts::DiagnosticSink::standard_output()
                    : plexo::ts::DiagnosticSink::discard();
  }

  // Appends the collected lines (each with its newline) to the list, keeping whatever
  // exception `result` carries; the lines arrive whether or not the operation succeeded.
  PyObject* deliver(PyObject* result) {
    if (!list_ || lines_.empty()) return result;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    std::size_t begin = 0;
    while (begin < lines_.size()) {
      std::size_t end = lines_.find('\n', begin);
      end = end == std::string::npos ? lines_.size() : end + 1;
      PyObject* line = PyUnicode_DecodeUTF8(lines_.data() + begin,
                                            static_cast<Py_ssize_t>(end - begin), "replace");
      int status = line ? PyList_Append(list_, line) : -1;
      Py_XDECREF(line);
      if (status < 0) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        Py_XDECREF(result);
        return nullptr;
      }
      begin = end;
    }
    PyErr_Restore(type, value, traceback);
    return result;
  }

 private:
  PyObject* list_ = nullptr;  // borrowed from the call's arguments
  bool enabled_ = true;
  std::string lines_;
};

char kData[] = "data";
char kResetTimestamps[] = "reset_timestamps";
char kVideo[] = "video";
char kAudio[] = "audio";

// The functions that take one `data` argument differ only in the operation they run: one
// that returns its output, or one that plans it (written straight into the result).
template <auto Operation>
PyObject* single_input(const char* format, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kData, nullptr};
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &data)) return nullptr;
  ByteView input;
  if (!bytes_argument(data, "data", &input)) return nullptr;
  if constexpr (std::is_same_v<decltype(Operation(input)), Result<Planned>>)
    return run_planned([input] { return Operation(input); });
  else
    return run_released([input] { return Operation(input); });
}

PyObject* py_convert_ts_to_mp4(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kData, kResetTimestamps, nullptr};
  PyObject* data = nullptr;
  PyObject* reset = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:convert_ts_to_mp4", keywords, &data,
                                   &reset))
    return nullptr;
  ByteView input;
  if (!bytes_argument(data, "data", &input)) return nullptr;
  bool reset_timestamps = false;
  if (reset && !bool_argument(reset, "reset_timestamps", &reset_timestamps)) return nullptr;
  // Every time the writer stores is relative, so the file is the same either way.
  (void)reset_timestamps;
  return run_planned([input] { return plexo::mp4w::plan_ts_to_mp4(input); });
}

PyObject* py_defragment_mp4(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kData, nullptr};
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:defragment_mp4", keywords, &data)) return nullptr;
  ByteView input;
  if (!bytes_argument(data, "data", &input)) return nullptr;
  return run_planned([input] { return plexo::mp4::plan_defragment(input); });
}

PyObject* py_reset_mp4_timestamps(PyObject*, PyObject* args, PyObject* kwargs) {
  return single_input<plexo::mp4::plan_reset_timeline>("O:reset_mp4_timestamps", args, kwargs);
}

PyObject* py_convert_mp4_reset_timestamps(PyObject*, PyObject* args, PyObject* kwargs) {
  return single_input<plexo::mp4::plan_defragment_or_reset>("O:convert_mp4_reset_timestamps",
                                                                      args, kwargs);
}

Result<Buffer> thumbnail_ts(ByteView input) { return plexo::thumbnail::thumbnail_from_ts(input); }

PyObject* py_extract_thumbnail_from_ts(PyObject*, PyObject* args, PyObject* kwargs) {
  return single_input<thumbnail_ts>("O:extract_thumbnail_from_ts", args,
                                                            kwargs);
}

PyObject* py_extract_thumbnail_from_mp4(PyObject*, PyObject* args, PyObject* kwargs) {
  return single_input<plexo::thumbnail::thumbnail_from_mp4>("O:extract_thumbnail_from_mp4", args,
                                                             kwargs);
}

PyObject* mux_tracks(const char* format, plexo::mp4::CollidingTrackIds colliding,
                     PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kVideo, kAudio, nullptr};
  PyObject* video = nullptr;
  PyObject* audio = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &video, &audio))
    return nullptr;
  ByteView video_input, audio_input;
  if (!bytes_argument(video, "video", &video_input)) return nullptr;
  if (!bytes_argument(audio, "audio", &audio_input)) return nullptr;
  return run_planned([video_input, audio_input, colliding] {
    return plexo::mp4::plan_mux_tracks(video_input, audio_input, colliding);
  });
}

PyObject* py_mux_fmp4_tracks(PyObject*, PyObject* args, PyObject* kwargs) {
  return mux_tracks("OO:mux_fmp4_tracks", plexo::mp4::CollidingTrackIds::kRefused, args, kwargs);
}

PyObject* py_private_mux_fmp4_tracks_renumbered(PyObject*, PyObject* args, PyObject* kwargs) {
  return mux_tracks("OO:_mux_fmp4_tracks_renumbered", plexo::mp4::CollidingTrackIds::kRenumbered,
                    args, kwargs);
}

char kDiagnostics[] = "diagnostics";
char kAllAudio[] = "all_audio";

// The private functions' `all_audio` (False when absent): every audio stream of the programme
// as a track of its own, or only the first.
bool audio_streams_argument(PyObject* obj, plexo::ts::AudioStreams* streams) {
  bool all = false;
  if (obj && !bool_argument(obj, "all_audio", &all)) return false;
  *streams = all ? plexo::ts::AudioStreams::kAll : plexo::ts::AudioStreams::kFirst;
  return true;
}

PyObject* py_private_convert_ts_to_mp4(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kData, kResetTimestamps, kDiagnostics, kAllAudio, nullptr};
  PyObject *data = nullptr, *reset = nullptr, *where = nullptr, *all = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O:_convert_ts_to_mp4", keywords, &data,
                                   &reset, &where, &all))
    return nullptr;
  ByteView input;
  bool reset_timestamps = false;
  CallDiagnostics diagnostics;
  plexo::ts::AudioStreams audio = plexo::ts::AudioStreams::kFirst;
  if (!bytes_argument(data, "data", &input) ||
      !bool_argument(reset, "reset_timestamps", &reset_timestamps) || !diagnostics.parse(where) ||
      !audio_streams_argument(all, &audio))
    return nullptr;
  auto sink = diagnostics.sink();
  return diagnostics.deliver(
      run_planned([input, &sink, audio] { return plexo::mp4w::plan_ts_to_mp4(input, sink, audio); }));
}

char kFragmentDuration[] = "fragment_duration";

// A duration in seconds: a number, but not a bool (True is no length of time).
bool seconds_argument(PyObject* obj, const char* argument, double* seconds) {
  if (PyBool_Check(obj)) {
    raise_wrong_type(obj, "float", argument);
    return false;
  }
  *seconds = PyFloat_AsDouble(obj);
  return !(*seconds == -1.0 && PyErr_Occurred());
}

PyObject* py_private_convert_ts_to_fmp4(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kData, kFragmentDuration, kDiagnostics, kAllAudio, nullptr};
  PyObject *data = nullptr, *where = nullptr, *duration = nullptr, *all = nullptr;
  double fragment_duration = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O:_convert_ts_to_fmp4", keywords, &data,
                                   &duration, &where, &all) ||
      !seconds_argument(duration, kFragmentDuration, &fragment_duration))
    return nullptr;
  ByteView input;
  CallDiagnostics diagnostics;
  plexo::ts::AudioStreams audio = plexo::ts::AudioStreams::kFirst;
  if (!bytes_argument(data, "data", &input) || !diagnostics.parse(where) || !audio_streams_argument(all, &audio))
    return nullptr;
  auto sink = diagnostics.sink();
  return diagnostics.deliver(run_planned([input, fragment_duration, &sink, audio] {
    return plexo::mp4w::plan_ts_to_fmp4(input, fragment_duration, sink, audio);
  }));
}

PyObject* py_private_extract_thumbnail_from_ts(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kData, kDiagnostics, nullptr};
  PyObject *data = nullptr, *where = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_extract_thumbnail_from_ts", keywords, &data,
                                   &where))
    return nullptr;
  ByteView input;
  CallDiagnostics diagnostics;
  if (!bytes_argument(data, "data", &input) || !diagnostics.parse(where)) return nullptr;
  auto sink = diagnostics.sink();
  return diagnostics.deliver(
      run_released([input, &sink] { return plexo::thumbnail::thumbnail_from_ts(input, sink); }));
}


// Stores `value` (a new reference, or nullptr after a failure) under `key`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  if (!value) return false;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

PyObject* track_dict(const plexo::mp4::ProbedTrack& track) {
  using plexo::mp4::TrackKind;
  PyObject* dict = PyDict_New();
  if (!dict) return nullptr;
  const char* kind = track.kind == TrackKind::kVideo   ? "video"
                     : track.kind == TrackKind::kAudio ? "audio"
                                                       : "other";
  bool ok = set_item(dict, "id", PyLong_FromUnsignedLong(track.id)) &&
            set_item(dict, "kind", PyUnicode_FromString(kind)) &&
            set_item(dict, "codec", PyUnicode_DecodeUTF8(track.codec.data(),
                                                         static_cast<Py_ssize_t>(track.codec.size()),
                                                         "replace")) &&
            set_item(dict, "timescale", PyLong_FromUnsignedLong(track.timescale)) &&
            set_item(dict, "duration", PyFloat_FromDouble(track.duration)) &&
            set_item(dict, "samples", PyLong_FromUnsignedLongLong(track.samples)) &&
            set_item(dict, "key_frames", PyLong_FromUnsignedLongLong(track.key_frames));
  if (ok && track.width && track.height)
    ok = set_item(dict, "width", PyLong_FromUnsignedLong(*track.width)) &&
         set_item(dict, "height", PyLong_FromUnsignedLong(*track.height));
  if (ok && track.profile)
    ok = set_item(dict, "profile", PyUnicode_DecodeUTF8(track.profile->data(),
                                                        static_cast<Py_ssize_t>(track.profile->size()),
                                                        "replace"));
  if (ok && track.sample_rate && track.channels)
    ok = set_item(dict, "sample_rate", PyLong_FromUnsignedLong(*track.sample_rate)) &&
         set_item(dict, "channels", PyLong_FromUnsignedLong(*track.channels));
  if (ok && track.language)
    ok = set_item(dict, "language", PyUnicode_DecodeUTF8(track.language->data(),
                                                         static_cast<Py_ssize_t>(track.language->size()),
                                                         "replace"));
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* probe_dict(const plexo::mp4::ProbedFile& probed) {
  PyObject* dict = PyDict_New();
  if (!dict) return nullptr;
  PyObject* tracks = PyList_New(0);
  bool ok = tracks && set_item(dict, "format", PyUnicode_FromString(probed.transport_stream ? "ts" : "mp4")) &&
            set_item(dict, "duration", PyFloat_FromDouble(probed.duration));
  for (std::size_t i = 0; ok && i < probed.tracks.size(); ++i) {
    PyObject* track = track_dict(probed.tracks[i]);
    ok = track && PyList_Append(tracks, track) == 0;
    Py_XDECREF(track);
  }
  if (ok) {
    ok = PyDict_SetItemString(dict, "tracks", tracks) == 0;
  }
  Py_XDECREF(tracks);
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

// What a file holds: an MP4 as it is, a transport stream as convert_ts_to_mp4 would write it
// (without diagnostics), so that the two never disagree.
Result<plexo::mp4::ProbedFile> probe_file(ByteView input, plexo::ts::AudioStreams audio) {
  if (!plexo::ts::opens_as_transport_stream(input)) return plexo::mp4::probe_mp4(input);
  const auto summarised = PLEXO_TRY(plexo::mp4w::summarise_ts(input, audio));
  auto probed = PLEXO_TRY(plexo::mp4::probe_summarised_movie(summarised.movie.view(), summarised.tracks));
  probed.transport_stream = true;
  return probed;
}

PyObject* py_private_probe(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kData, kAllAudio, nullptr};
  PyObject *data = nullptr, *all = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:_probe", keywords, &data, &all)) return nullptr;
  ByteView input;
  plexo::ts::AudioStreams audio = plexo::ts::AudioStreams::kFirst;
  if (!bytes_argument(data, "data", &input) || !audio_streams_argument(all, &audio)) return nullptr;
  std::optional<Result<plexo::mp4::ProbedFile>> probed;
  if (!released([&] { probed.emplace(probe_file(input, audio)); })) return PyErr_NoMemory();
  if (!*probed) return raise_operation_error(probed->error());
  return probe_dict(probed->value());
}

// The container the probe and the package's dispatch take `data` for: a transport stream by
// its sync bytes, else an MP4 when it opens with a box header, else neither (None).
PyObject* py_private_container(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kData, nullptr};
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_container", keywords, &data)) return nullptr;
  ByteView input;
  if (!bytes_argument(data, "data", &input)) return nullptr;
  if (plexo::ts::opens_as_transport_stream(input)) return PyUnicode_FromString("ts");
  if (plexo::mp4::opens_with_box(input)) return PyUnicode_FromString("mp4");
  Py_RETURN_NONE;
}

// ---- file to file -------------------------------------------------------------------

// A file descriptor argument: a non-negative int.
bool fd_argument(PyObject* obj, const char* argument, int* fd) {
  if (!PyLong_Check(obj)) {
    raise_wrong_type(obj, "int", argument);
    return false;
  }
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > INT_MAX) {
    PyErr_Format(PyExc_ValueError, "%s is not a file descriptor", argument);
    return false;
  }
  *fd = static_cast<int>(value);
  return true;
}

// Runs a file-to-file operation without the lock; returns the size written.
template <class Operation>
PyObject* run_file_operation(Operation&& operation) {
  Result<std::uint64_t> written = std::uint64_t{0};  // set by the operation
  if (!released([&] { written = operation(); })) return PyErr_NoMemory();
  if (!written) return raise_operation_error(written.error());
  return PyLong_FromUnsignedLongLong(written.value());
}

char kSrcFd[] = "src_fd";
char kDstFd[] = "dst_fd";
char kVideoFd[] = "video_fd";
char kAudioFd[] = "audio_fd";

template <auto Operation>
PyObject* single_file(const char* format, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kSrcFd, kDstFd, nullptr};
  PyObject *src = nullptr, *dst = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &src, &dst)) return nullptr;
  int in = -1, out = -1;
  if (!fd_argument(src, "src_fd", &in) || !fd_argument(dst, "dst_fd", &out)) return nullptr;
  return run_file_operation([in, out] { return Operation(in, out); });
}

PyObject* py_private_defragment_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return single_file<plexo::mp4::defragment_file>("OO:_defragment_file", args, kwargs);
}

PyObject* py_private_reset_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return single_file<plexo::mp4::reset_file>("OO:_reset_file", args, kwargs);
}

// _probe of the MP4 open at `src_fd`, read by seeking in bounded memory.
PyObject* py_private_probe_file(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kSrcFd, nullptr};
  PyObject* src = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_probe_file", keywords, &src)) return nullptr;
  int in = -1;
  if (!fd_argument(src, "src_fd", &in)) return nullptr;
  std::optional<Result<plexo::mp4::ProbedFile>> probed;
  if (!released([&] { probed.emplace(plexo::mp4::probe_mp4_file(in)); })) return PyErr_NoMemory();
  if (!*probed) return raise_operation_error(probed->error());
  return probe_dict(probed->value());
}

PyObject* py_private_mux_files(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kVideoFd, kAudioFd, kDstFd, nullptr};
  PyObject *video = nullptr, *audio = nullptr, *dst = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:_mux_files", keywords, &video, &audio, &dst))
    return nullptr;
  int video_fd = -1, audio_fd = -1, out = -1;
  if (!fd_argument(video, "video_fd", &video_fd) || !fd_argument(audio, "audio_fd", &audio_fd) ||
      !fd_argument(dst, "dst_fd", &out))
    return nullptr;
  return run_file_operation(
      [=] {
        return plexo::mp4::mux_files(video_fd, audio_fd, out,
                                     plexo::mp4::CollidingTrackIds::kRenumbered);
      });
}

PyObject* py_private_convert_file(PyObject*, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kSrcFd, kDstFd, kResetTimestamps, kDiagnostics, kAllAudio, nullptr};
  PyObject *src = nullptr, *dst = nullptr, *reset = nullptr, *where = nullptr, *all = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:_convert_file", keywords, &src, &dst, &reset,
                                   &where, &all))
    return nullptr;
  int in = -1, out = -1;
  bool reset_timestamps = false;
  CallDiagnostics diagnostics;
  plexo::ts::AudioStreams audio = plexo::ts::AudioStreams::kFirst;
  if (!fd_argument(src, "src_fd", &in) || !fd_argument(dst, "dst_fd", &out) ||
      !bool_argument(reset, "reset_timestamps", &reset_timestamps) || !diagnostics.parse(where) ||
      !audio_streams_argument(all, &audio))
    return nullptr;
  // Every time the writer stores is relative, so the file is the same either way.
  (void)reset_timestamps;
  auto sink = diagnostics.sink();
  return diagnostics.deliver(
      run_file_operation([in, out, &sink, audio] { return plexo::mp4w::convert_file(in, out, sink, audio); }));
}

#define PLEXO_FUNCTION(name) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(name))

// Registered one by one in this order by the execution step.
PyMethodDef module_functions[] = {
    {"convert_ts_to_mp4", PLEXO_FUNCTION(py_convert_ts_to_mp4), METH_VARARGS | METH_KEYWORDS,
     "convert_ts_to_mp4(data, reset_timestamps=False)\n--\n\nMPEG-TS 를 MP4 로 변환한다."},
    {"defragment_mp4", PLEXO_FUNCTION(py_defragment_mp4), METH_VARARGS | METH_KEYWORDS,
     "defragment_mp4(data)\n--\n\nfragmented MP4 를 일반 MP4 로 펼친다."},
    {"reset_mp4_timestamps", PLEXO_FUNCTION(py_reset_mp4_timestamps),
     METH_VARARGS | METH_KEYWORDS,
     "reset_mp4_timestamps(data)\n--\n\nMP4 타임스탬프를 0 부터 시작하도록 되돌린다."},
    {"convert_mp4_reset_timestamps", PLEXO_FUNCTION(py_convert_mp4_reset_timestamps),
     METH_VARARGS | METH_KEYWORDS,
     "convert_mp4_reset_timestamps(data)\n--\n\nfMP4 면 펼치고, 일반 MP4 면 타임스탬프만 "
     "되돌린다."},
    {"mux_fmp4_tracks", PLEXO_FUNCTION(py_mux_fmp4_tracks), METH_VARARGS | METH_KEYWORDS,
     "mux_fmp4_tracks(video, audio)\n--\n\n따로 전송된 영상 fMP4 와 소리 fMP4 를 트랙 두 "
     "개짜리 MP4 로 합친다."},
    {"extract_thumbnail_from_ts", PLEXO_FUNCTION(py_extract_thumbnail_from_ts),
     METH_VARARGS | METH_KEYWORDS,
     "extract_thumbnail_from_ts(data)\n--\n\nTS 의 첫 키프레임을 뽑는다."},
    {"extract_thumbnail_from_mp4", PLEXO_FUNCTION(py_extract_thumbnail_from_mp4),
     METH_VARARGS | METH_KEYWORDS,
     "extract_thumbnail_from_mp4(data)\n--\n\nMP4 의 첫 키프레임을 뽑는다."},
    {nullptr, nullptr, 0, nullptr},
};

// Registered after the class, for the plexo package.
PyMethodDef private_functions[] = {
    {"_convert_ts_to_mp4", PLEXO_FUNCTION(py_private_convert_ts_to_mp4),
     METH_VARARGS | METH_KEYWORDS,
     "_convert_ts_to_mp4(data, reset_timestamps, diagnostics, all_audio=False)\n--\n\n"
     "convert_ts_to_mp4 with the diagnostic lines sent to standard output (True), nowhere "
     "(False) or appended to a list."},
    {"_extract_thumbnail_from_ts", PLEXO_FUNCTION(py_private_extract_thumbnail_from_ts),
     METH_VARARGS | METH_KEYWORDS,
     "_extract_thumbnail_from_ts(data, diagnostics)\n--\n\n"
     "extract_thumbnail_from_ts with the diagnostic lines sent to standard output (True), "
     "nowhere (False) or appended to a list."},
    {"_convert_ts_to_fmp4", PLEXO_FUNCTION(py_private_convert_ts_to_fmp4),
     METH_VARARGS | METH_KEYWORDS,
     "_convert_ts_to_fmp4(data, fragment_duration, diagnostics, all_audio=False)\n--\n\n"
     "A transport stream as a fragmented MP4 (init segment, then moof and mdat fragments), "
     "with the diagnostic lines sent to standard output (True), nowhere (False) or appended "
     "to a list."},
    {"_probe", PLEXO_FUNCTION(py_private_probe), METH_VARARGS | METH_KEYWORDS,
     "_probe(data, all_audio=False)\n--\n\n"
     "What an MP4 or a transport stream holds: its format, duration and tracks."},
    {"_defragment_file", PLEXO_FUNCTION(py_private_defragment_file), METH_VARARGS | METH_KEYWORDS,
     "_defragment_file(src_fd, dst_fd)\n--\n\n"
     "defragment_mp4 from file to file in bounded memory; returns the bytes written."},
    {"_mux_files", PLEXO_FUNCTION(py_private_mux_files), METH_VARARGS | METH_KEYWORDS,
     "_mux_files(video_fd, audio_fd, dst_fd)\n--\n\n"
     "_mux_fmp4_tracks_renumbered from files to a file in bounded memory; returns the bytes "
     "written."},
    {"_reset_file", PLEXO_FUNCTION(py_private_reset_file), METH_VARARGS | METH_KEYWORDS,
     "_reset_file(src_fd, dst_fd)\n--\n\n"
     "reset_mp4_timestamps from file to file in bounded memory; returns the bytes written."},
    {"_convert_file", PLEXO_FUNCTION(py_private_convert_file), METH_VARARGS | METH_KEYWORDS,
     "_convert_file(src_fd, dst_fd, reset_timestamps, diagnostics, all_audio=False)\n--\n\n"
     "convert_ts_to_mp4 from file to file in bounded memory, with the diagnostic lines as "
     "_convert_ts_to_mp4 sends them; returns the bytes written."},
    {"_probe_file", PLEXO_FUNCTION(py_private_probe_file), METH_VARARGS | METH_KEYWORDS,
     "_probe_file(src_fd)\n--\n\n"
     "_probe of the MP4 open at src_fd, read by seeking: its top-level headers, its movie box "
     "and each movie fragment while it is counted."},
    {"_container", PLEXO_FUNCTION(py_private_container), METH_VARARGS | METH_KEYWORDS,
     "_container(data)\n--\n\n"
     "The container data opens as: 'ts', 'mp4', or None for neither."},
    {"_mux_fmp4_tracks_renumbered", PLEXO_FUNCTION(py_private_mux_fmp4_tracks_renumbered),
     METH_VARARGS | METH_KEYWORDS,
     "_mux_fmp4_tracks_renumbered(video, audio)\n--\n\n"
     "mux_fmp4_tracks where an audio track whose ID a video track holds takes the lowest free "
     "ID (tkhd, the movie's next track ID, track references) instead of being refused."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- objects with state ----------------------------------------------------------------

// A native object whose media work runs without the interpreter lock; the object's own mutex
// serialises calls on one object (taken with the lock released, so a thread waiting for it
// holds nothing), so that its state changes one call at a time, as the calls came.
template <class State>
struct GuardedObject {
  PyObject_HEAD
  State* state;
  std::mutex* guard;

  static GuardedObject* of(PyObject* self) { return reinterpret_cast<GuardedObject*>(self); }

  template <class... Args>
  static PyObject* create(PyTypeObject* type, Args&&... args) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    of(self)->state = new (std::nothrow) State(std::forward<Args>(args)...);
    of(self)->guard = new (std::nothrow) std::mutex();
    if (!of(self)->state || !of(self)->guard) {
      Py_DECREF(self);
      return PyErr_NoMemory();
    }
    return self;
  }

  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete of(self)->state;
    delete of(self)->guard;
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
  }

  // `work(state)` without the interpreter lock, the object's mutex held; false on exhausted
  // memory.
  template <class Work>
  static bool run(PyObject* self, Work&& work) {
    GuardedObject* object = of(self);
    return released([&] {
      std::lock_guard<std::mutex> hold(*object->guard);
      work(*object->state);
    });
  }
};

// ---- FragmentedMP4Processor ----------------------------------------------------------

using ProcessorObject = GuardedObject<plexo::fragment_processor::FragmentProcessor>;

PyObject* processor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":FragmentedMP4Processor", keywords))
    return nullptr;
  return ProcessorObject::create(type);
}

PyObject* processor_set_init_segment(PyObject* self, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kData, nullptr};
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:set_init_segment", keywords, &data))
    return nullptr;
  ByteView input;
  if (!bytes_argument(data, "data", &input)) return nullptr;
  if (!ProcessorObject::run(self, [&](auto& processor) { processor.set_init_segment(input); }))
    return PyErr_NoMemory();
  Py_RETURN_NONE;
}

char kComplete[] = "_complete";

PyObject* processor_process_segment(PyObject* self, PyObject* args, PyObject* kwargs) {
  // `_complete` (the package's strict processor): a segment cut short is refused.
  static char* keywords[] = {kData, kComplete, nullptr};
  PyObject* data = nullptr;
  int complete = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:process_segment", keywords, &data, &complete))
    return nullptr;
  ByteView input;
  if (!bytes_argument(data, "data", &input)) return nullptr;
  // The result never outgrows the segment: it is written straight into a bytes object of
  // the segment's size, which is kept whenever nothing was cut short (the usual case).
  char* target = nullptr;
  PyObject* bytes = new_bytes(input.size(), &target);
  if (!bytes) return nullptr;
  std::optional<Result<std::size_t>> written;
  if (!ProcessorObject::run(self, [&](auto& processor) {
        written.emplace(processor.process_segment_into(
            input, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(target), input.size()),
            complete != 0));
      })) {
    Py_DECREF(bytes);
    return PyErr_NoMemory();
  }
  if (!*written) {
    Py_DECREF(bytes);
    return raise_operation_error(written->error());
  }
  const std::size_t length = written->value();
  if (length == input.size()) return bytes;
  PyObject* shorter = PyBytes_FromStringAndSize(target, static_cast<Py_ssize_t>(length));
  Py_DECREF(bytes);
  return shorter;
}

PyObject* processor_reset(PyObject* self, PyObject*) {
  ProcessorObject::run(self, [](auto& processor) { processor.reset(); });
  Py_RETURN_NONE;
}

PyObject* processor_base_decode_time(PyObject* self, void*) {
  std::optional<std::uint64_t> base;
  ProcessorObject::run(self, [&](auto& processor) { base = processor.base_decode_time(); });
  if (!base) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*base);
}

PyMethodDef processor_methods[] = {
    {"set_init_segment", PLEXO_FUNCTION(processor_set_init_segment), METH_VARARGS | METH_KEYWORDS,
     "set_init_segment($self, data)\n--\n\n"},
    {"process_segment", PLEXO_FUNCTION(processor_process_segment), METH_VARARGS | METH_KEYWORDS,
     "process_segment($self, data)\n--\n\n"},
    {"reset", PLEXO_FUNCTION(processor_reset), METH_NOARGS, "reset($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

char kBaseDecodeTime[] = "base_decode_time";
PyGetSetDef processor_getset[] = {
    {kBaseDecodeTime, processor_base_decode_time, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

char kProcessorDoc[] = "FragmentedMP4Processor()\n--\n\n세그먼트를 이어서 받아 처리하는 fMP4 처리기.";

PyType_Slot processor_slots[] = {
    {Py_tp_doc, kProcessorDoc},
    {Py_tp_new, reinterpret_cast<void*>(processor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ProcessorObject::dealloc)},
    {Py_tp_methods, processor_methods},
    {Py_tp_getset, processor_getset},
    {0, nullptr},
};

PyType_Spec processor_spec = {
    "_plexo.FragmentedMP4Processor",
    static_cast<int>(sizeof(ProcessorObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    processor_slots,
};

// ---- _TsSegmenter ----------------------------------------------------------------------
//
//   class _TsSegmenter:
//       def __init__(self, fragment_duration: float = 2.0, max_fragment_duration: float = 60.0) -> None: ...
//       def push(self, chunk: bytes) -> list[bytes]: ...
//       def flush(self) -> list[bytes]: ...
//       init: bytes | None  # read-only
//       def _init_changes(self, since: int = 0) -> list[tuple[int, bytes]]: ...
//       independent: bool  # read-only: every fragment so far decodes alone after init
//
// Calls on one segmenter are taken one at a time (see GuardedObject).

using SegmenterObject = GuardedObject<plexo::mp4w::TsSegmenter>;

char kChunk[] = "chunk";

char kMaxFragmentDuration[] = "max_fragment_duration";

PyObject* segmenter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kFragmentDuration, kMaxFragmentDuration, nullptr};
  double fragment_duration = 2.0;
  PyObject *duration = nullptr, *max = nullptr;
  double max_duration = plexo::mp4w::TsSegmenter::kDefaultMaxFragmentDuration;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:_TsSegmenter", keywords, &duration, &max) ||
      (duration && !seconds_argument(duration, kFragmentDuration, &fragment_duration)) ||
      (max && !seconds_argument(max, kMaxFragmentDuration, &max_duration)))
    return nullptr;
  for (double seconds : {fragment_duration, max_duration})
    if (auto valid = plexo::mp4w::check_fragment_duration(seconds); !valid) return raise_operation_error(valid.error());
  return SegmenterObject::create(type, fragment_duration, max_duration);
}

// The fragments as a list of bytes objects, or the operation's error raised. Each fragment
// is written straight into its bytes object, made (with the interpreter lock taken back for
// the moment) once the fragment's size is known: it is never copied, and never held twice.
template <class Step>
PyObject* segmenter_step(PyObject* self, Step&& step) {
  PyObject* list = PyList_New(0);
  if (!list) return nullptr;
  bool out_of_memory = false;
  auto target = [list, &out_of_memory](std::size_t size) {
    const PyGILState_STATE gil = PyGILState_Ensure();
    char* data = nullptr;
    PyObject* bytes = new_bytes(size, &data);
    const bool made = bytes && PyList_Append(list, bytes) == 0;
    Py_XDECREF(bytes);  // the list holds it
    if (!made) PyErr_Clear();
    PyGILState_Release(gil);
    // Without memory the writer is given none, and fails.
    if (!made) {
      out_of_memory = true;
      return std::span<std::uint8_t>();
    }
    return std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(data), size);
  };
  plexo::Status status;
  const bool ran = SegmenterObject::run(self, [&](auto& segmenter) { status = step(segmenter, target); });
  if (ran && status) return list;
  Py_DECREF(list);
  return ran && !out_of_memory ? raise_operation_error(status.error()) : PyErr_NoMemory();
}

PyObject* segmenter_push(PyObject* self, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {kChunk, nullptr};
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:push", keywords, &data)) return nullptr;
  ByteView chunk;
  if (!bytes_argument(data, "chunk", &chunk)) return nullptr;
  return segmenter_step(self, [chunk](plexo::mp4w::TsSegmenter& s, const auto& out) {
    return s.push(chunk, out);
  });
}

PyObject* segmenter_flush(PyObject* self, PyObject*) {
  return segmenter_step(self, [](plexo::mp4w::TsSegmenter& s, const auto& out) {
    return s.finish(out);
  });
}

PyObject* segmenter_init(PyObject* self, void*) {
  std::optional<Buffer> init;
  if (!SegmenterObject::run(self, [&](auto& segmenter) { init = segmenter.init(); }))
    return PyErr_NoMemory();
  if (!init) Py_RETURN_NONE;
  return to_bytes(Result<Buffer>(std::move(*init)));
}

// The initialisation segments written after the first, from the `since`-th on: a list of
// (number of fragments written before it, bytes).
PyObject* segmenter_init_changes(PyObject* self, PyObject* args) {
  Py_ssize_t since = 0;
  if (!PyArg_ParseTuple(args, "|n:_init_changes", &since)) return nullptr;
  std::vector<plexo::mp4w::TsSegmenter::InitChange> changes;
  if (!SegmenterObject::run(self, [&](auto& segmenter) {
        const auto& all = segmenter.init_changes();
        for (std::size_t k = static_cast<std::size_t>(std::max<Py_ssize_t>(since, 0)); k < all.size(); ++k)
          changes.push_back(all[k]);
      }))
    return PyErr_NoMemory();
  PyObject* list = PyList_New(0);
  if (!list) return nullptr;
  for (auto& change : changes) {
    PyObject* item = Py_BuildValue("(KN)", static_cast<unsigned long long>(change.fragment),
                                   to_bytes(Result<Buffer>(std::move(change.init))));
    if (!item || PyList_Append(list, item) != 0) {
      Py_XDECREF(item);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return list;
}

// The demultiplexer's diagnostic lines so far, as one str.
PyObject* segmenter_diagnostics(PyObject* self, void*) {
  std::string lines;
  if (!SegmenterObject::run(self, [&](auto& segmenter) { lines = segmenter.diagnostics(); }))
    return PyErr_NoMemory();
  return PyUnicode_DecodeUTF8(lines.data(), static_cast<Py_ssize_t>(lines.size()), "replace");
}

PyMethodDef segmenter_methods[] = {
    {"push", PLEXO_FUNCTION(segmenter_push), METH_VARARGS | METH_KEYWORDS, "push($self, chunk)\n--\n\n"},
    {"flush", PLEXO_FUNCTION(segmenter_flush), METH_NOARGS, "flush($self)\n--\n\n"},
    {"_init_changes", PLEXO_FUNCTION(segmenter_init_changes), METH_VARARGS, "_init_changes($self, since=0)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* segmenter_independent(PyObject* self, void*) {
  bool independent = false;
  if (!SegmenterObject::run(self, [&](auto& segmenter) { independent = segmenter.independent(); }))
    return PyErr_NoMemory();
  return PyBool_FromLong(independent);
}

char kInit[] = "init";
char kSegmenterDiagnostics[] = "_diagnostics";
char kIndependent[] = "independent";
PyGetSetDef segmenter_getset[] = {
    {kInit, segmenter_init, nullptr, nullptr, nullptr},
    {kSegmenterDiagnostics, segmenter_diagnostics, nullptr, nullptr, nullptr},
    {kIndependent, segmenter_independent, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

char kSegmenterDoc[] =
    "_TsSegmenter(fragment_duration=2.0, max_fragment_duration=60.0)\n--\n\n"
    "A live transport stream as fragmented MP4: push(chunk) returns the fragments it completes, "
    "init the initialisation segment once known, flush() the last fragments.";

PyType_Slot segmenter_slots[] = {
    {Py_tp_doc, kSegmenterDoc},
    {Py_tp_new, reinterpret_cast<void*>(segmenter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(SegmenterObject::dealloc)},
    {Py_tp_methods, segmenter_methods},
    {Py_tp_getset, segmenter_getset},
    {0, nullptr},
};

PyType_Spec segmenter_spec = {
    "_plexo._TsSegmenter",
    static_cast<int>(sizeof(SegmenterObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    segmenter_slots,
};

// ---- module --------------------------------------------------------------------------

int add_and_release(PyObject* module, const char* name, PyObject* value) {
  if (!value) return -1;
  int status = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return status;
}

int add_functions(PyObject* module, PyMethodDef* defs) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (!module_name) return -1;
  for (PyMethodDef* def = defs; def->ml_name; ++def) {
    if (add_and_release(module, def->ml_name, PyCFunction_NewEx(def, module, module_name)) < 0) {
      Py_DECREF(module_name);
      return -1;
    }
  }
  Py_DECREF(module_name);
  return 0;
}

int plexo_exec(PyObject* module) {
  if (add_and_release(module, "__version__", PyUnicode_FromString(kVersion)) < 0) return -1;
  if (add_functions(module, module_functions) < 0) return -1;
  if (add_and_release(module, "FragmentedMP4Processor",
                      PyType_FromModuleAndSpec(module, &processor_spec, nullptr)) < 0)
    return -1;
  if (add_functions(module, private_functions) < 0) return -1;
  return add_and_release(module, "_TsSegmenter", PyType_FromModuleAndSpec(module, &segmenter_spec, nullptr));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(plexo_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_plexo", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__plexo(void) { return PyModuleDef_Init(&module_def); }
