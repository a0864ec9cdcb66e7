// What the cache writer takes from the host and gives back: source names,
// extracted samples, the final and temporary destinations of a source, and
// the (status, name, detail) result triple reported for each source.
//
// The plain functions here touch no host object and may run on any thread;
// the ones taking PyObject* are defined in inputs_py.cpp (the extension only)
// and run on the calling thread with the interpreter lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "zandrel/types.hpp"

// The host's object type, declared as Python.h does, so that this header stays
// free of the host's headers.
typedef struct _object PyObject;

namespace zandrel::writer {

// One extracted sample: a private copy of the payload and its metadata.
struct WriterInput {
  std::vector<uint8_t> data;
  MetadataMap metadata;
};

// One source's outcome: ("success", name, final path) or ("error", name,
// the error's display text).
struct WriteResult {
  std::string status;
  std::string name;
  std::string detail;

  bool operator==(const WriteResult&) const = default;
};

// "source[<index>]": the name reported for a source whose name is unusable.
std::string source_label(size_t index);

// Checks a name read from a source: not empty, and exactly one plain path
// segment once split by the platform's rules (so "a/", "a//", "a/." and
// ".hidden" pass; "./a", "a/b", "..", "." and "/a" do not).
Status check_source_name(std::string_view name);

// base joined with one segment: a slash in between unless base is empty or
// already ends with one; nothing else is normalised.
std::filesystem::path join_path(const std::filesystem::path& base, std::string_view segment);

// base/name, where the source's cache is published.
std::filesystem::path final_cache_path(std::string_view base, std::string_view name);
// base/tmp/name, where the source's cache is built.
std::filesystem::path temp_cache_path_for_source(std::string_view base, std::string_view name);

// A path holding a NUL byte names no file: the system would see only the
// bytes before the NUL. Such a path fails as a system call on it would, with
// the I/O error EINVAL naming the path; every other path passes. Host paths
// go through this before they reach the system.
Status check_path_bytes(const std::filesystem::path& path);

// Refuses a final path where something exists ("cache path already exists:
// {}"), removes a stale temporary directory left by an earlier write, and
// refuses a temporary path that check_path_bytes refuses (the builder would
// fail to create it). Creates nothing.
Status prepare_cache_paths(const std::filesystem::path& final_path,
                           const std::filesystem::path& temp_path);

// Whether anything exists at `path` (symbolic links followed). A path that
// check_path_bytes refuses has nothing there.
bool path_exists(const std::filesystem::path& path);

// Removes the temporary directory tree if anything is there; a symbolic link
// there is removed as a link, its target left alone. Anything else that is not
// a directory is left and fails with ENOTDIR. Returns the I/O error of a
// failed removal; a failed existence query counts as nothing there.
Status remove_temp_cache(const std::filesystem::path& temp_path);

WriteResult success_write_result(std::string name, const std::filesystem::path& final_path);
WriteResult error_write_result(std::string name, const CacheError& error);

// The path's components as the platform splits them ("/" for the root, "."
// for a leading current-directory segment, ".." for a parent segment), so
// that out/a, out/a/ and out/a/. compare equal.
std::vector<std::string> path_components(std::string_view path);

// --- Host side (inputs_py.cpp) ---------------------------------------------

// Reads `source.name`: a str that passes check_source_name, returned as given.
// A host exception on the way is converted by py_error().
Result<std::string> extract_source_name(PyObject* source);

// Turns one yielded item, a (data, metadata) tuple, into a WriterInput.
Result<WriterInput> extract_cache_input(PyObject* item);

// Consumes the pending host exception and returns it as Python, Interrupted
// (KeyboardInterrupt) or Exit (SystemExit), with the text "Type: message"
// (entry_py.cpp).
CacheError py_error();

// Runs pending signal handlers; an exception they raise comes back through
// py_error() (entry_py.cpp).
Status check_signals();

}  // namespace zandrel::writer

namespace zandrel::writer::pipeline {

// Fails with "duplicate generated cache path: {}" when two entries of the
// host list `sources` have the same final path; entries whose name cannot be
// read are skipped. Writes and creates nothing.
Status ensure_unique_source_paths(PyObject* sources, std::string_view base);

}  // namespace zandrel::writer::pipeline
