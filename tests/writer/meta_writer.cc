#include "tests/writer/meta_writer.h"

#include "tests/writer/bytes.h"

namespace zelvar::test_writer {

std::vector<uint8_t> write_meta(const MetaFile& file) {
  std::vector<uint8_t> out;
  put_le(out, file.id);
  put_le(out, file.num_docs);
  if (file.omit_count) return out;
  put_le(out, file.count_override.value_or(static_cast<uint32_t>(file.entries.size())));
  for (const MetaEntry& e : file.entries) {
    put_le(out, e.field);
    put_le(out, e.total_tokens);
    put_le(out, e.doc_count);
  }
  out.insert(out.end(), file.trailing.begin(), file.trailing.end());
  return out;
}

}  // namespace zelvar::test_writer
