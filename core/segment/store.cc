#include "core/segment/store.h"

#include <algorithm>
#include <string>

#include "core/directories/byte_cursor.h"
#include "core/error/result.h"

namespace zelvar {
namespace {

constexpr uint64_t kEntrySize = 20;

IoError invalid_data(std::string text) { return IoError(IoErrorKind::InvalidData, std::move(text)); }
IoError doc_not_found() { return invalid_data("Doc not found in index"); }

struct Footer {
  uint64_t data_end_offset;
  uint64_t dict_offset;
  uint32_t num_docs;
  uint32_t has_dict;
  uint32_t version;
  uint32_t magic;
};

// Precondition: `bytes` holds the footer's 32 bytes.
Footer decode_footer(std::span<const uint8_t> bytes) {
  ByteCursor cursor(bytes);
  return Footer{*cursor.u64(), *cursor.u64(), *cursor.u32(), *cursor.u32(), *cursor.u32(), *cursor.u32()};
}

// Reads the dictionary section at `offset`: the dictionary, and the offset
// just past it, where the index region starts.
IoResult<std::pair<CompressionDict, uint64_t>> read_dictionary(const TailReader& handle, uint64_t offset) {
  auto out_of_bounds = [offset] {
    return std::unexpected(invalid_data("Store dictionary out of bounds: offset " + std::to_string(offset)));
  };
  // Offsets near 2^64 would wrap; such a section cannot lie inside any file.
  const std::optional<ByteRange> length_range = ByteRange::at(offset, 4);
  if (!length_range) return out_of_bounds();
  ZELVAR_TRY(OwnedBytes length_bytes, handle.read_bytes_range(*length_range));
  const std::optional<ByteRange> dict_range = ByteRange::at(length_range->end, decode_le<uint32_t>(length_bytes.data()));
  if (!dict_range) return out_of_bounds();
  ZELVAR_TRY(OwnedBytes dict_bytes, handle.read_bytes_range(*dict_range));
  return std::pair{CompressionDict{dict_bytes.to_vec()}, dict_range->end};
}

IoResult<StoreIndex> parse_index(const OwnedBytes& region) {
  ByteCursor cursor(region.as_slice());
  ZELVAR_TRY(const uint32_t count, cursor.u32());
  StoreIndex index;
  // The count is only trusted as far as the region's bytes can back it.
  index.reserve(std::min<size_t>(count, cursor.remaining() / kEntrySize));
  for (uint32_t i = 0; i < count; ++i) {
    // Whole entries only: one cut short runs out before any of it is read.
    ZELVAR_TRY(const std::span<const uint8_t> entry, cursor.take(kEntrySize));
    ByteCursor fields(entry);
    index.push_back(StoreBlockIndex{*fields.u32(), *fields.u64(), *fields.u32(), *fields.u32()});
  }
  return index;
}

// The last entry whose first_doc is at most `local`, or entry 0 when every
// first_doc exceeds it. Precondition: the index is not empty.
const StoreBlockIndex& choose_block(std::span<const StoreBlockIndex> index, uint32_t local) {
  size_t size = index.size();
  size_t base = 0;
  while (size > 1) {
    const size_t half = size / 2;
    const size_t mid = base + half;
    if (index[mid].first_doc <= local) base = mid;
    size -= half;
  }
  return index[base];
}

// The JSON text of the record `skip` records into `block`.
IoResult<std::span<const uint8_t>> find_record(std::span<const uint8_t> block, uint32_t skip) {
  ByteCursor cursor(block);
  for (uint32_t i = 0;; ++i) {
    ZELVAR_TRY(const uint32_t length, cursor.u32());
    if (length > cursor.remaining()) return std::unexpected(invalid_data("Invalid doc length"));
    const std::span<const uint8_t> record = *cursor.take(length);
    if (i == skip) return record;
  }
}

}  // namespace

IoResult<std::shared_ptr<const AsyncStoreReader>> AsyncStoreReader::open(LazyFileHandle handle,
                                                                         size_t cache_blocks) {
  const uint64_t file_size = handle.file_size();
  if (file_size < kFooterSize) return std::unexpected(invalid_data("Store too small"));
  const uint64_t footer_start = file_size - kFooterSize;

  // The footer, the dictionary and the index are read through one buffer of
  // the file's end (see TailReader): usually the first read holds them all,
  // else one more read from the first of them does.
  TailReader tail(handle);
  ZELVAR_TRY_VOID(tail.buffer_end());
  ZELVAR_TRY(OwnedBytes footer_bytes, tail.read_bytes_range(ByteRange{footer_start, file_size}));
  const Footer footer = decode_footer(footer_bytes.as_slice());
  if (footer.magic != kMagic) return std::unexpected(invalid_data("Invalid store magic"));
  if (footer.version != kVersion) {
    return std::unexpected(invalid_data("Unsupported store version: " + std::to_string(footer.version)));
  }
  const bool use_dict = footer.has_dict != 0 && footer.dict_offset != 0;
  const uint64_t lowest = use_dict ? footer.dict_offset : footer.data_end_offset;
  ZELVAR_TRY_VOID(tail.reach(lowest));

  std::optional<CompressionDict> dictionary;
  uint64_t index_start = footer.data_end_offset;
  if (use_dict) {
    ZELVAR_TRY(auto section, read_dictionary(tail, footer.dict_offset));
    dictionary = std::move(section.first);
    index_start = section.second;
  }
  // A region that would end before it starts is refused without a read.
  if (index_start > footer_start) {
    return std::unexpected(invalid_data("Store index region out of bounds: starts at " +
                                        std::to_string(index_start) + ", footer at " +
                                        std::to_string(footer_start)));
  }
  ZELVAR_TRY(OwnedBytes region, tail.read_bytes_range(ByteRange{index_start, footer_start}));
  ZELVAR_TRY(StoreIndex index, parse_index(region));

  // The block area is not checked against the file here: a block beyond the
  // file fails when it is read.
  LazyFileSlice data(std::move(handle), 0, footer.data_end_offset);
  return std::shared_ptr<const AsyncStoreReader>(new AsyncStoreReader(
      std::move(index), std::move(dictionary), std::move(data), cache_blocks, footer.num_docs));
}

const StoreBlockIndex* AsyncStoreReader::entry_of(uint32_t local) const {
  if (index_.empty()) return nullptr;
  const StoreBlockIndex& entry = choose_block(index_, local);
  // A number below the first block or in a gap between blocks.
  if (entry.first_doc > local || local - entry.first_doc >= entry.num_docs) return nullptr;
  return &entry;
}

IoResult<std::optional<Document>> AsyncStoreReader::get(uint32_t local) const {
  if (local >= num_docs_) return std::optional<Document>();
  const StoreBlockIndex* const entry = entry_of(local);
  if (entry == nullptr) return std::unexpected(doc_not_found());
  ZELVAR_TRY(StoreBlock block, load_block(*entry));
  ZELVAR_TRY(std::span<const uint8_t> record, find_record(*block, local - entry->first_doc));
  ZELVAR_TRY(Document document, store::deserialize_document(record));
  return std::optional<Document>(std::move(document));
}

IoResult<StoreBlock> AsyncStoreReader::load_block(const StoreBlockIndex& entry) const {
  const std::optional<ByteRange> range = ByteRange::at(entry.offset, entry.length);
  if (!range) {
    // Such a range cannot lie in any file. It guards only the read: a block
    // already cached under the entry's key is served as usual.
    if (StoreBlock cached = blocks_.cached(entry.first_doc)) return cached;
    return std::unexpected(invalid_data("Store block out of bounds: offset " + std::to_string(entry.offset) +
                                        " length " + std::to_string(entry.length)));
  }
  return blocks_.load(entry.first_doc, *range);
}

namespace store {

IoResult<Document> deserialize_document(std::span<const uint8_t> bytes) {
  dsl::JsonResult<Document> document = Document::from_json(bytes);
  if (!document) return std::unexpected(invalid_data(document.error().to_string()));
  return std::move(*document);
}

}  // namespace store
}  // namespace zelvar
