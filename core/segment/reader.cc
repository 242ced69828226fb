#include "core/segment/reader.h"

#include <utility>

#include "core/error/result.h"
#include "core/structures/postings/term_info.h"

namespace zelvar {

Result<std::shared_ptr<const AsyncSegmentReader>> AsyncSegmentReader::open(
    const FsDirectory& directory, SegmentId id, std::shared_ptr<const Schema> schema,
    uint32_t doc_base, size_t cache_blocks) {
  VectorBudget vectors_budget;
  return open(directory, id, std::move(schema), doc_base, cache_blocks, vectors_budget);
}

Result<std::shared_ptr<const AsyncSegmentReader>> AsyncSegmentReader::open(
    const FsDirectory& directory, SegmentId id, std::shared_ptr<const Schema> schema,
    uint32_t doc_base, size_t cache_blocks, VectorBudget& vectors_budget) {
  ZELVAR_TRY(Prepared prepared, prepare(directory, id, cache_blocks));
  return finish(directory, id, std::move(prepared), std::move(schema), doc_base, vectors_budget);
}

Result<AsyncSegmentReader::Prepared> AsyncSegmentReader::prepare(const FsDirectory& directory, SegmentId id,
                                                                 size_t cache_blocks) {
  SegmentFiles files(id);

  // The stored id is not compared with `id`: the file name is what counts.
  ZELVAR_TRY(FileSlice meta_file, directory.open_read(files.meta));
  OwnedBytes meta_bytes = meta_file.read_bytes();
  ZELVAR_TRY(SegmentMeta meta, SegmentMeta::deserialize(meta_bytes.as_slice()));

  ZELVAR_TRY(LazyFileHandle terms_file, directory.open_lazy(files.terms));
  ZELVAR_TRY(auto term_dict, AsyncSSTableReader::open(std::move(terms_file), cache_blocks));

  // Only the size of the posting file is taken now; lookups read it later.
  ZELVAR_TRY(LazyFileHandle postings, directory.open_lazy(files.postings));

  ZELVAR_TRY(LazyFileHandle store_file, directory.open_lazy(files.store));
  ZELVAR_TRY(auto store, AsyncStoreReader::open(std::move(store_file), cache_blocks));

  return Prepared{std::move(meta), std::move(term_dict), std::move(postings), std::move(store)};
}

Result<std::shared_ptr<const AsyncSegmentReader>> AsyncSegmentReader::finish(
    const FsDirectory& directory, SegmentId id, Prepared prepared, std::shared_ptr<const Schema> schema,
    uint32_t doc_base, VectorBudget& vectors_budget) {
  ZELVAR_TRY(SegmentVectors vectors,
             load_vectors_file(directory, SegmentFiles(id).vectors, *schema, vectors_budget));

  auto opened = std::make_shared<const Opened>(
      Opened{std::move(prepared.meta), std::move(prepared.term_dict), std::move(prepared.postings),
             std::move(prepared.store), std::move(schema), std::move(vectors), std::make_unique<SearchStateSlot>()});
  return std::shared_ptr<const AsyncSegmentReader>(new AsyncSegmentReader(std::move(opened), doc_base));
}

std::shared_ptr<const AsyncSegmentReader> AsyncSegmentReader::with_doc_base(uint32_t doc_base) const {
  return std::shared_ptr<const AsyncSegmentReader>(new AsyncSegmentReader(opened_, doc_base));
}

std::vector<uint8_t> AsyncSegmentReader::term_key(Field field, std::span<const uint8_t> term) {
  std::vector<uint8_t> key;
  key.reserve(4 + term.size());
  for (int shift = 0; shift < 32; shift += 8) key.push_back(static_cast<uint8_t>(field >> shift));
  key.insert(key.end(), term.begin(), term.end());
  return key;
}

Result<std::optional<BlockPostingList>> AsyncSegmentReader::get_postings(Field field,
                                                                          std::string_view term) const {
  return get_postings(field, std::span(reinterpret_cast<const uint8_t*>(term.data()), term.size()));
}

Result<std::optional<BlockPostingList>> AsyncSegmentReader::get_postings(
    Field field, std::span<const uint8_t> term) const {
  ZELVAR_TRY(std::optional<PlacedPostings> placed, get_placed_postings(field, term));
  if (!placed) return std::optional<BlockPostingList>();
  return std::optional<BlockPostingList>(std::move(placed->list));
}

bool AsyncSegmentReader::may_hold_term(Field field, std::span<const uint8_t> term) const {
  return opened_->term_dict->may_contain(term_key(field, term));
}

Result<std::optional<AsyncSegmentReader::PlacedPostings>> AsyncSegmentReader::get_placed_postings(
    Field field, std::span<const uint8_t> term) const {
  std::vector<uint8_t> key = term_key(field, term);
  ZELVAR_TRY(std::optional<TermInfo> info, opened_->term_dict->get(key));
  if (!info) return std::optional<PlacedPostings>();

  if (const TermInfo::External* ext = info->as_external()) {
    // Checked before any read; an offset near the top of the u64 range cannot
    // wrap around and pass.
    const std::optional<ByteRange> range = ByteRange::at(ext->posting_offset, ext->posting_len);
    if (!range || range->end > opened_->postings.file_size()) {
      return std::unexpected(Error::corruption("Posting offset out of bounds"));
    }
    ZELVAR_TRY(OwnedBytes bytes, opened_->postings.read_bytes_range(*range));
    std::span<const uint8_t> cursor = bytes.as_slice();
    ZELVAR_TRY(BlockPostingList list, BlockPostingList::deserialize(cursor));
    return std::optional<PlacedPostings>(PlacedPostings{std::move(list), ext->posting_offset});
  }

  auto decoded = TermInfo::decode_inline(*info);
  if (!decoded) return std::unexpected(Error::corruption("TermInfo has neither inline nor external data"));
  const auto& [docs, freqs] = *decoded;
  PostingList postings;
  postings.reserve(docs.size());
  for (size_t i = 0; i < docs.size(); ++i) postings.push_back({docs[i], freqs[i]});
  return std::optional<PlacedPostings>(PlacedPostings{BlockPostingList::from_posting_list(postings), std::nullopt});
}

Result<std::optional<Document>> AsyncSegmentReader::doc(uint32_t local) const {
  ZELVAR_TRY(std::optional<Document> document, opened_->store->get(local));
  return document;
}

}  // namespace zelvar
