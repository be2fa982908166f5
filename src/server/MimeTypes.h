// MimeTypes.h - the system's table of content types by file extension (the mime.types format:
// a type, then the extensions that have it; "#" starts a comment), consulted for the kinds
// that no `type` line of the site names.
#pragma once

#include <string>
#include <string_view>

class COptions;

// At start-up: the table named by the root's `mimetypes` keyword, or none without it.
void LoadSystemTypesIfAsked(const COptions& rootOptions);
// Replaces the system table with the one in `path`. False (with a line on standard error)
// when the file cannot be read; the table is then empty.
bool LoadSystemTypes(const std::string& path);
// The type for `kind` (an extension in lower case) from the system table; empty when none.
std::string LookupSystemType(std::string_view kind);
