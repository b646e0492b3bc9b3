// Opening and sending: the client's concurrency slots, open_stream, DATA
// under both windows, trailers and the server's response head.
#include "proto/h2/engine.h"

namespace wl::h2 {

bool Engine::try_claim_slot() { return false; }

bool Engine::can_open() const { return false; }

void Engine::release_slot_count() {}

void Engine::apply_stream_limit(std::optional<uint64_t>) {}

EngineError Engine::open_stream(const OpenIn&, Handle, std::optional<uint32_t>*, bool*) {
    return EngineError::value("open_stream is not built yet");
}

EngineError Engine::send_data(uint32_t, std::string_view, uint64_t, bool, SendOut*) {
    return EngineError::value("send_data is not built yet");
}

EngineError Engine::send_trailers(uint32_t, const HeaderList&, SendOut*) {
    return EngineError::value("send_trailers is not built yet");
}

EngineError Engine::send_response_head(uint32_t, uint16_t, const HeaderList*, bool, SendOut*) {
    return EngineError::value("send_response_head is not built yet");
}

}  // namespace wl::h2
