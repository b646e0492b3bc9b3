// Inbound per-stream frames: HEADERS, DATA, WINDOW_UPDATE and RST_STREAM.
#include "proto/h2/engine.h"

namespace wl::h2 {

EngineError Engine::recv_headers(const HeadersIn&, Handle, HeadersOut*) {
    return EngineError::value("recv_headers is not built yet");
}

EngineError Engine::recv_data(const DataIn&, DataOut*) {
    return EngineError::value("recv_data is not built yet");
}

EngineError Engine::recv_window_update(uint32_t, uint32_t) {
    wake_.clear();
    return EngineError::value("recv_window_update is not built yet");
}

EngineError Engine::recv_reset(uint32_t, Reason, RecvResetOut*) {
    return EngineError::value("recv_reset is not built yet");
}

}  // namespace wl::h2
