#include "serve/proto_repair.h"

#include <climits>
#include <cstdint>

#include "text/utf8_repair.h"

namespace tracedx {
namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;

enum WireType { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kFixed32 = 5 };

bool read_varint(std::string_view in, size_t& at, uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 64 && at < in.size(); shift += 7) {
    const auto byte = static_cast<unsigned char>(in[at++]);
    value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) return true;
  }
  return false;
}

void write_varint(std::string& out, uint64_t value) {
  for (; value >= 0x80; value >>= 7) out += static_cast<char>((value & 0x7f) | 0x80);
  out += static_cast<char>(value);
}

void write_length_delimited(std::string& out, std::string_view payload) {
  write_varint(out, payload.size());
  out.append(payload);
}

// Appends the repaired encoding of one `type` message to `out`, counting the string fields
// repaired in `repaired`; false when the bytes are malformed or nest too deep.
bool repair_message(const Descriptor& type, std::string_view in, int depth, std::string& out,
                    size_t& repaired) {
  size_t at = 0;
  while (at < in.size()) {
    const size_t start = at;
    uint64_t tag = 0;
    if (!read_varint(in, at, tag)) return false;
    const uint64_t number = tag >> 3;
    if (number == 0 || number > INT_MAX) return false;
    switch (tag & 7) {
      case kVarint: {
        uint64_t ignored = 0;
        if (!read_varint(in, at, ignored)) return false;
        out.append(in.substr(start, at - start));
        continue;
      }
      case kFixed64:
      case kFixed32: {
        const size_t size = (tag & 7) == kFixed64 ? 8 : 4;
        if (in.size() - at < size) return false;
        at += size;
        out.append(in.substr(start, at - start));
        continue;
      }
      case kLengthDelimited:
        break;
      default:
        return false;  // groups: none of the messages read here has one
    }
    const size_t tag_end = at;
    uint64_t size = 0;
    if (!read_varint(in, at, size) || size > in.size() - at) return false;
    const std::string_view payload = in.substr(at, size);
    at += size;
    const FieldDescriptor* field = type.FindFieldByNumber(static_cast<int>(number));
    const auto kind = field ? field->type() : FieldDescriptor::TYPE_BYTES;
    if (kind == FieldDescriptor::TYPE_MESSAGE) {
      if (depth >= kMaxProtobufDepth) return false;
      std::string inner;
      if (!repair_message(*field->message_type(), payload, depth + 1, inner, repaired))
        return false;
      out.append(in.substr(start, tag_end - start));
      write_length_delimited(out, inner);
      continue;
    }
    std::string fixed;
    if (kind == FieldDescriptor::TYPE_STRING && repair_utf8(payload, fixed)) {
      ++repaired;
      out.append(in.substr(start, tag_end - start));
      write_length_delimited(out, fixed);
      continue;
    }
    out.append(in.substr(start, at - start));  // bytes, packed numbers, unknown fields
  }
  return true;
}

}  // namespace

std::optional<size_t> repair_protobuf_strings(const Descriptor& type, std::string_view bytes,
                                              std::string& out) {
  std::string repaired_bytes;
  size_t repaired = 0;
  if (!repair_message(type, bytes, 1, repaired_bytes, repaired)) return std::nullopt;
  if (repaired) out = std::move(repaired_bytes);
  return repaired;
}

}  // namespace tracedx
