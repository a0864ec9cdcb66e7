// JSON forms of the metadata types and of the compression setting.
//
// Every reading failure is returned as CacheError::json with the reader's
// message and, where it has one, " at line L column C".
#pragma once

#include <string>
#include <string_view>

#include "zandrel/types.hpp"

namespace zandrel {

// The compact record object: {"key":value,...} in map (byte) order, no
// whitespace. Appends to `out`; cannot fail.
void write_metadata_map(std::string& out, const MetadataMap& map);

// One JSON object, optionally surrounded by whitespace, read as a metadata
// map: the last of repeated keys wins; values by the untagged rule (bool, int,
// float, string); nesting limited to 127 levels.
Result<MetadataMap> parse_metadata_object(std::string_view bytes);

}  // namespace zandrel
