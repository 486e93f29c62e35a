#include "shared/block_protocol.h"

#include <cstring>

#include "shared/bytes.h"

namespace quensaria {

RequestHeader ParseRequestHeader(const uint8_t* header) {
  RequestHeader request;
  request.command = header[0];
  request.offset = LoadLe64(header + 8);
  request.length = LoadLe32(header + 16);
  return request;
}

void EncodeRequestHeader(const RequestHeader& request, uint8_t* header) {
  std::memset(header, 0, kRequestHeaderSize);
  header[0] = request.command;
  StoreLe64(header + 8, request.offset);
  StoreLe32(header + 16, request.length);
}

void EncodeLoginRequest(const uint8_t* digest, uint8_t* header) {
  std::memset(header, 0, kRequestHeaderSize);
  header[0] = CMD_LOGIN;
  std::memcpy(header + kLoginDigestOffset, digest, kDigestSize);
}

ReplyHeader ParseReplyHeader(const uint8_t* reply) {
  ReplyHeader header;
  header.status = LoadLe16(reply);
  header.length = LoadLe32(reply + 4);
  header.data_length = LoadLe32(reply + 8);
  return header;
}

void EncodeReplyHeader(const ReplyHeader& reply, uint8_t* buffer) {
  StoreLe16(buffer, reply.status);
  StoreLe32(buffer + 4, reply.length);
  StoreLe32(buffer + 8, reply.data_length);
}

QueryData ParseQueryData(const uint8_t* data) {
  QueryData query;
  query.access = data[1];
  query.flags = data[kQueryFlagsOffset];
  std::memcpy(query.boot_id.data(), data + kQueryBootIdOffset, kBootIdSize);
  query.disk_size = LoadLe64(data + kQuerySizeOffset);
  return query;
}

void EncodeQueryData(const QueryData& query, uint8_t* data) {
  std::memset(data, 0, kQueryDataSize);
  data[1] = query.access;
  data[kQueryFlagsOffset] = query.flags;
  std::memcpy(data + kQueryBootIdOffset, query.boot_id.data(), kBootIdSize);
  StoreLe64(data + kQuerySizeOffset, query.disk_size);
}

}  // namespace quensaria
