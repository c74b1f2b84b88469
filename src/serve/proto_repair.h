// Protobuf messages whose string fields hold invalid UTF-8, which the proto3 parser refuses
// whole. The wire bytes are walked under the message's descriptor and written again with
// each string field repaired (text/utf8_repair.h) and each message field's length set anew;
// everything else (numbers, bytes, unknown fields) is copied as it is. Used only once the
// strict parse has failed, so valid bodies cost nothing.
#pragma once

#include <google/protobuf/descriptor.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tracedx {

// Message fields nested deeper than this are not walked (the parser's own default limit).
inline constexpr int kMaxProtobufDepth = 100;

// The encoding of a `type` message in `bytes` with the invalid UTF-8 of its string fields
// repaired, written to `out`. Returns how many string fields were repaired (0: `out`
// untouched), or nullopt when the bytes are not a well-formed encoding (a truncated field,
// a group, message fields nested deeper than kMaxProtobufDepth).
std::optional<size_t> repair_protobuf_strings(const google::protobuf::Descriptor& type,
                                              std::string_view bytes, std::string& out);

}  // namespace tracedx
