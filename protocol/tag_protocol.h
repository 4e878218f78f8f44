// The tag service's JSON-over-HTTP protocol, as our session library and the
// service both speak it: where the service lives by default, the version
// both ends check, and the routes under the base path. The messages
// themselves are described in tag_service/README.md.
#ifndef KORVO_PROTOCOL_TAG_PROTOCOL_H_
#define KORVO_PROTOCOL_TAG_PROTOCOL_H_

namespace tag_protocol {

// The version the ping answer names; a session serves only its own.
inline constexpr int kVersion = 1;
// The name the ping answer gives for the service.
inline constexpr char kServiceName[] = "tag-service";

inline constexpr int kDefaultPort = 21645;
inline constexpr char kBasePath[] = "/TagService";

// Routes, relative to the base path.
inline constexpr char kPing[] = "/ping";                     // GET
inline constexpr char kConnect[] = "/reader/connect";        // POST
inline constexpr char kDisconnect[] = "/reader/disconnect";  // POST
inline constexpr char kFormats[] = "/formats";               // GET
inline constexpr char kItems[] = "/items";                   // GET
inline constexpr char kCreateTag[] = "/tags";                // POST
inline constexpr char kWriteTag[] = "/tags/write";           // POST
inline constexpr char kSecurity[] = "/tags/security";        // POST

}  // namespace tag_protocol

#endif  // KORVO_PROTOCOL_TAG_PROTOCOL_H_
