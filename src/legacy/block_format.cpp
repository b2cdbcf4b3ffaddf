#include "legacy/block_format.h"

namespace korvane {

uint8_t BlockChecksum(const uint8_t* bytes, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

std::vector<uint8_t> MakeDataBlock(const std::string& text) {
  std::vector<uint8_t> block;
  block.reserve(text.size() + kDataBlockOverhead);
  block.push_back(kBlockRS);
  block.insert(block.end(), text.begin(), text.end());
  block.push_back(kBlockETB);
  block.push_back(BlockChecksum(block.data(), block.size()));
  return block;
}

std::vector<uint8_t> MakeCommandBlock(uint8_t lead, const char* chars) {
  std::vector<uint8_t> block{lead};
  for (uint32_t i = 0; i < kCommandChars; ++i) block.push_back(static_cast<uint8_t>(chars[i]));
  block.push_back(BlockChecksum(block.data(), block.size()));
  return block;
}

}  // namespace korvane
