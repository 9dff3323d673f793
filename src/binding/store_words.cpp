#include "store_words.hpp"

#include <string>

#include "format/format.hpp"
#include "format/key_table.hpp"

namespace vornel {
namespace {

std::string n(uint64_t v) { return std::to_string(v); }

// How the key table disagrees with the index section.
std::string disagreement(const StoreError& e) {
  const std::string entry = "entry " + n(e.rank());
  switch (static_cast<KeyTable::Disagreement>(e.what())) {
    case KeyTable::Disagreement::Order:
      return entry + " is not above the key before it";
    case KeyTable::Disagreement::Rank:
      return "the rank of " + entry + " names another entry";
    case KeyTable::Disagreement::Sample:
      return "the sampled head of " + entry + " is not its key's";
    case KeyTable::Disagreement::NotFound:
      return entry + " is not found at its own position";
    case KeyTable::Disagreement::Leftover:
      return "bytes follow the last entry";
    case KeyTable::Disagreement::ExtraSlots:
      return "its slots name more entries than there are";
    case KeyTable::Disagreement::None:
    case KeyTable::Disagreement::EntryOutside:
      break;
  }
  return entry;
}

}  // namespace

std::string table_note_words(TableNote note) {
  switch (note) {
    case TableNote::None:
      break;
    case TableNote::TrailerChecksum:
      return "its trailer fails its checksum";
    case TableNote::Unframed:
      return "no record frames it";
    case TableNote::Version:
      return "its format version is not one this reader knows";
    case TableNote::OtherStore:
      return "it was made for another store";
    case TableNote::Geometry:
      return "its geometry does not match its store";
    case TableNote::Disagrees:
      return "it disagrees with the index section";
    case TableNote::RecordChecksum:
      return "its record fails its checksum";
    case TableNote::Missing:
      return "the header marks one that the data section does not end with";
    case TableNote::MarksDamaged:
      return "the header's marks fail their checksum";
    case TableNote::NamedByKey:
      return "a key names its record";
  }
  return "";
}

namespace {

// The system's words for a failing call; a path with a NUL reached none.
std::string os_words(int errnum) { return errnum == 0 ? kNulInPathText : os_error_text(errnum); }

}  // namespace

std::string message_of(const StoreError& e) {
  switch (e.fault()) {
    case Fault::Described:
      return e.message();
    case Fault::CannotOpen:
      return "cannot open " + e.path() + ": " + os_words(e.os_errno());
    case Fault::CannotMap:
      return "mmap failed: " + os_words(e.os_errno());
    case Fault::IsDirectory:
      return os_words(e.os_errno());
    case Fault::TooSmall:
      return "file too small for header";
    case Fault::BadMagic: {
      const uint64_t m = e.found();
      return "bad magic [" + n(m >> 24) + ", " + n((m >> 16) & 0xFF) + ", " + n((m >> 8) & 0xFF) +
             ", " + n(m & 0xFF) + "]";
    }
    case Fault::Version:
      return "unsupported version " + n(e.version_found());
    case Fault::MarksUnknown:
      return "unsupported store layout: header byte " + n(e.offset()) + " is " +
             n(e.version_found());
    case Fault::FileChecksum:
      return "file CRC32 mismatch  stored=" + crc_hex(static_cast<uint32_t>(e.expected())) +
             "  computed=" + crc_hex(static_cast<uint32_t>(e.found()));
    case Fault::IndexKeyLen:
      return "index section truncated (key_len)";
    case Fault::IndexKeyOrOffset:
      return "index section truncated (key + offset)";
    case Fault::Truncated:
      return "truncated: " + n(e.found()) + " bytes, the header expects at least " + n(e.expected());
    case Fault::IndexOffsetOutside:
      return "index_offset " + n(e.offset()) + " lies outside the file's sections (" +
             n(e.expected()) + " to " + n(e.found()) + ")";
    case Fault::MappingFault:
      return "store file changed while mapped: bus error at offset " + n(e.offset());
    case Fault::FileCut:
      return "store file changed while mapped: cut short before offset " + n(e.offset() + 1);
    case Fault::RecordPrefixOutside:
      return "offset " + n(e.offset()) + " out of bounds";
    case Fault::RecordPayloadOutside:
      return "object at " + n(e.offset()) + " extends beyond file end";
    case Fault::RecordChecksum:
      return "record CRC32 mismatch at offset " + n(e.offset());
    case Fault::RankRange:
      return "ranks " + n(e.rank()) + " to " + n(e.expected()) + " out of range (have " +
             n(e.found()) + " keys)";
    case Fault::TableUnnamedRank:
      return "key table names no entry for rank " + n(e.rank());
    case Fault::TableUnchained:
      return "key table's entry of rank " + n(e.rank()) + " does not follow the entry before it";
    case Fault::TableMisled:
      return "key table's search lands on rank " + n(e.rank()) +
             ", which the keys around it disown";
    case Fault::KeysUnordered:
      return "index entry " + n(e.rank()) + " is not above the key before it";
    case Fault::RangeCrossed:
      return "index out of key order: a prefix's range ends at rank " + n(e.found()) +
             ", before it starts at rank " + n(e.rank());
    case Fault::DictionaryMissing:
      return "the header marks a compression dictionary that the data section's first "
             "record does not hold";
    case Fault::DictionaryNamed:
      return "a key names the record of the compression dictionary that the header marks";
    case Fault::ObjectPrefixOutside:
      return "object offset " + n(e.offset()) + " out of bounds";
    case Fault::ObjectChecksum:
      return "object CRC32 mismatch at offset " + n(e.offset());
    case Fault::EntriesEnd:
      return "the index entries end at offset " + n(e.offset()) + ", not at the end of the file (" +
             n(e.found()) + " bytes)";
    case Fault::RecordsUntiled:
      return "the data section's records do not end at index_offset " + n(e.expected()) +
             ": the one at offset " + n(e.offset()) + " runs past it";
    case Fault::IndexOffsetInHeader:
      return "index_offset " + n(e.offset()) + " lies inside the header";
    case Fault::ObjectCount:
      return "the header counts " + n(e.expected()) + " objects, the data section holds " +
             n(e.found());
    case Fault::TableRecordChecksum:
      return "key table record CRC32 mismatch at offset " + n(e.offset());
    case Fault::TableDisagrees:
      return "key table disagrees with the index section: " + disagreement(e);
    case Fault::MarksDamaged:
      return "the header's marks (bytes 5 to 7) fail their checksum";
    case Fault::MarkedTableIgnored:
      return "the key table that the header marks is ignored: " +
             table_note_words(static_cast<TableNote>(e.what()));
  }
  return e.message();
}

std::string text_of(const StoreError& e) {
  switch (e.kind()) {
    case ErrorKind::Corrupt:
      return "VornCorruptError: " + message_of(e);
    case ErrorKind::Version:
      return "VornVersionError: " + message_of(e);
    case ErrorKind::IO:
      return "VornIOError: " + message_of(e);
    case ErrorKind::Invalid:
    case ErrorKind::Cancelled:
      break;
  }
  return "VornError: " + message_of(e);
}

}  // namespace vornel
