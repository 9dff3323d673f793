// The words for a store error (store_error.hpp): _vornel's fixed texts, which the
// package's engine takes wherever it has no words of its own. Plain C++: the core's
// tests and fuzz targets word errors with it too.
#pragma once

#include <string>

#include "format/key_table.hpp"
#include "util/store_error.hpp"

namespace vornel {

// The message of `e` without its kind's name, as "file CRC32 mismatch  stored=0x...".
std::string message_of(const StoreError& e);
// The kind's name, ": " and the message, as "VornCorruptError: bad magic [0, 0, 0, 0]";
// a version error reads "VornVersionError: unsupported version {}".
std::string text_of(const StoreError& e);
// Why a reader ignores a key table, as stats() says it: "its trailer fails its checksum".
std::string table_note_words(TableNote note);

}  // namespace vornel
