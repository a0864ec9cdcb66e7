#include "zandrel/writer/inputs.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

namespace zandrel::writer {

namespace fs = std::filesystem;

std::string source_label(size_t index) { return "source[" + std::to_string(index) + "]"; }

std::vector<std::string> path_components(std::string_view path) {
  // Unix rules: repeated slashes collapse, a trailing slash is ignored, "."
  // is kept only as the leading segment of a relative path, ".." is kept
  // everywhere. Normal segments never contain '/' and are never "." or "..",
  // so the three markers cannot be confused with them.
  std::vector<std::string> components;
  const bool rooted = !path.empty() && path.front() == '/';
  if (rooted) components.emplace_back("/");
  bool first_segment = true;
  size_t position = 0;
  while (position <= path.size()) {
    size_t end = path.find('/', position);
    if (end == std::string_view::npos) end = path.size();
    std::string_view segment = path.substr(position, end - position);
    position = end + 1;
    if (segment.empty()) continue;
    if (segment == ".") {
      if (first_segment && !rooted) components.emplace_back(".");
    } else {
      components.emplace_back(segment);
    }
    first_segment = false;
  }
  return components;
}

Status check_source_name(std::string_view name) {
  if (name.empty()) return Err(CacheError::invalid_argument("CacheSource.name must not be empty"));
  std::vector<std::string> components = path_components(name);
  const bool plain = components.size() == 1 && components[0] != "/" && components[0] != "." &&
                     components[0] != "..";
  if (!plain) {
    return Err(CacheError::invalid_argument("CacheSource.name must be a plain path segment"));
  }
  return {};
}

fs::path join_path(const fs::path& base, std::string_view segment) {
  const std::string& text = base.native();
  if (text.empty()) return fs::path(segment);
  std::string joined = text;
  if (joined.back() != '/') joined += '/';
  joined += segment;
  return fs::path(std::move(joined));
}

fs::path final_cache_path(std::string_view base, std::string_view name) {
  return join_path(fs::path(base), name);
}

fs::path temp_cache_path_for_source(std::string_view base, std::string_view name) {
  return join_path(join_path(fs::path(base), "tmp"), name);
}

Status check_path_bytes(const fs::path& path) {
  if (!path.native().contains('\0')) return {};
  return Err(CacheError::io_message(CacheError::io(EINVAL).message() + " for " + path.string()));
}

bool path_exists(const fs::path& path) {
  struct stat info;
  return check_path_bytes(path) && ::stat(path.c_str(), &info) == 0;
}

Status remove_temp_cache(const fs::path& temp_path) {
  if (!path_exists(temp_path)) return {};
  // Removal as a directory tree: a link goes as a link (remove_all does not
  // follow it), while a file cannot be removed that way (remove_all would).
  struct stat info;
  if (::lstat(temp_path.c_str(), &info) != 0) return Err(CacheError::io(errno));
  if (!S_ISDIR(info.st_mode) && !S_ISLNK(info.st_mode)) return Err(CacheError::io(ENOTDIR));
  std::error_code error;
  fs::remove_all(temp_path, error);
  if (error) return Err(CacheError::io(error.value()));
  return {};
}

Status prepare_cache_paths(const fs::path& final_path, const fs::path& temp_path) {
  if (path_exists(final_path)) {
    return Err(CacheError::invalid_argument("cache path already exists: " + final_path.string()));
  }
  ZR_RETURN_IF_ERROR(remove_temp_cache(temp_path));
  // The builder creates the temporary path next; one the system cannot take
  // fails here, before anything is created.
  return check_path_bytes(temp_path);
}

WriteResult success_write_result(std::string name, const fs::path& final_path) {
  return WriteResult{"success", std::move(name), final_path.string()};
}

WriteResult error_write_result(std::string name, const CacheError& error) {
  return WriteResult{"error", std::move(name), error.to_string()};
}

}  // namespace zandrel::writer
