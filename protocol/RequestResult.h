// Results of SendRequest besides the transport's own.
#ifndef LUMO_PROTOCOL_REQUESTRESULT_H
#define LUMO_PROTOCOL_REQUESTRESULT_H

#include <cstdint>

namespace lumo::protocol {

inline constexpr int32_t kNoTransport = -1;      // no unit for types 0-2, no gauge port
inline constexpr int32_t kExchangeAborted = -2;  // an exception ended the exchange
inline constexpr int32_t kRequestNotSent = -3;   // payload longer than a frame holds

}  // namespace lumo::protocol

#endif
