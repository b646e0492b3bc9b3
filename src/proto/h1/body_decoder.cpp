#include "proto/h1/body_decoder.h"

#include <algorithm>

#include "core/chars.h"

namespace wl::h1 {

namespace {

constexpr const char* kDescription = "error reading a body from connection";
// Largest size that can take one more hex digit without overflowing 64 bits.
constexpr uint64_t kSizeShiftMax = (uint64_t(1) << 60) - 1;

// Hex digit value + 1, 0 for other bytes.
struct HexTable {
    uint8_t v[256] = {};
    constexpr HexTable() {
        for (int c = '0'; c <= '9'; ++c) v[c] = uint8_t(c - '0' + 1);
        for (int c = 'a'; c <= 'f'; ++c) v[c] = uint8_t(c - 'a' + 11);
        for (int c = 'A'; c <= 'F'; ++c) v[c] = uint8_t(c - 'A' + 11);
    }
};
constexpr HexTable kHex;

// A line as it might appear in source: printable ASCII kept, quotes and
// backslashes escaped, everything else as \xNN.
std::string render_line(std::string_view line) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(line.size() + 2);
    out.push_back('"');
    for (unsigned char c : line) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(char(c));
        } else if (c >= 0x20 && c < 0x7f) {
            out.push_back(char(c));
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    out.push_back('"');
    return out;
}

// The states scan_framing() reads: size lines and the line end after data.
bool is_framing(BodyDecoder::ChunkState st) {
    using S = BodyDecoder::ChunkState;
    return st == S::Start || st == S::Size || st == S::SizeWs || st == S::Extension || st == S::SizeLf ||
           st == S::BodyCr || st == S::BodyLf;
}

}  // namespace

void BodyDecoder::reset(BodyKind kind, uint64_t length) {
    ahead_.valid = false;
    kind_ = kind;
    remaining_ = kind == BodyKind::Length ? length : 0;
    complete_ = kind == BodyKind::Empty || (kind == BodyKind::Length && length == 0);
    cstate_ = ChunkState::Start;
    fail_ = Fail::None;
    eof_ = false;
    ext_bytes_ = 0;
    trailer_lines_ = 0;
    trailer_buf_.clear();
    fail_detail_.clear();
    if (has_trailers_) {
        trailers_ = HeaderList();
        has_trailers_ = false;
    }
}

void BodyDecoder::feed(const void* p, size_t n) {
    if (n == 0) return;
    if (ext_n_) {
        in_.reserve_extra(ext_n_ + n);  // the only step that can fail
        unborrow();
    }
    in_.append(p, n);
    ahead_.valid = false;
}

bool BodyDecoder::borrow(const void* p, size_t n) {
    if (n == 0 || in_size() != 0) return false;
    ext_ = static_cast<const uint8_t*>(p);
    ext_n_ = n;
    ahead_.valid = false;
    return true;
}

void BodyDecoder::unborrow() {
    if (!ext_n_) return;
    in_.append(ext_, ext_n_);
    ext_ = nullptr;
    ext_n_ = 0;
}

void BodyDecoder::feed(ByteBuf& src) {
    unborrow();
    ahead_.valid = false;
    if (in_.empty()) {
        in_.swap(src);
    } else {
        in_.append(src.data(), src.size());
    }
    src.clear();
}

void BodyDecoder::take_input(ByteBuf& out) {
    unborrow();
    ahead_.valid = false;
    if (out.empty()) {
        out.swap(in_);
    } else {
        out.append(in_.data(), in_.size());
    }
    in_.clear();
}

bool BodyDecoder::take_trailers(HeaderList& out) {
    if (!has_trailers_) return false;
    out = std::move(trailers_);
    trailers_ = HeaderList();
    has_trailers_ = false;
    return true;
}

BodyDecoder::Status BodyDecoder::peek(std::string_view* out) {
    if (fail_ != Fail::None) return Status::Failed;
    if (complete_) return Status::Complete;
    switch (kind_) {
        case BodyKind::Length: {
            if (remaining_ == 0) {
                complete_ = true;
                return Status::Complete;
            }
            size_t n = in_size();
            if (n == 0) return eof_ ? fail(Fail::TruncatedBody) : Status::NeedMore;
            size_t take = remaining_ < n ? size_t(remaining_) : n;
            *out = std::string_view(reinterpret_cast<const char*>(in_data()), take);
            return Status::Data;
        }
        case BodyKind::Close: {
            size_t n = in_size();
            if (n == 0) {
                if (!eof_) return Status::NeedMore;
                complete_ = true;
                return Status::Complete;
            }
            size_t take = std::min(n, kCloseReadMax);
            *out = std::string_view(reinterpret_cast<const char*>(in_data()), take);
            return Status::Data;
        }
        case BodyKind::Chunked:
            return peek_chunked(out);
        case BodyKind::Empty:
            break;
    }
    complete_ = true;
    return Status::Complete;
}

// Reads framing bytes from p[i] on, in a framing state. Stops with i at the
// first data byte (f.st == Body), after the last chunk's size line
// (f.st == EndCr), at the end of the input (i == n), or at a malformed byte:
// its failure is returned with i at that byte and f.st the state that read it.
inline BodyDecoder::Fail BodyDecoder::scan_framing(Framing& f, const uint8_t* p, size_t n, size_t& i) {
    using S = ChunkState;
    while (i < n) {
        if (f.st == S::BodyCr && n - i >= 2 && p[i] == '\r' && p[i + 1] == '\n') {
            i += 2;
            f.st = S::Start;
            continue;
        }
        if (f.st == S::Start) {
            // The usual size line, "HEX CR LF", whole in the input: read in one
            // go. Sixteen digits never overflow, so the loop stops there.
            size_t j = i;
            uint64_t v = 0;
            const size_t end = n - i > 16 ? i + 16 : n;
            while (j < end && kHex.v[p[j]]) v = (v << 4) | uint64_t(kHex.v[p[j++]] - 1u);
            if (j > i && n - j >= 2 && p[j] == '\r' && p[j + 1] == '\n') {
                i = j + 2;
                f.size = v;
                f.st = v ? S::Body : S::EndCr;
                return Fail::None;
            }
        }
        const uint8_t c = p[i];
        switch (f.st) {
            case S::Start:
                if (!kHex.v[c]) return Fail::MissingSizeDigit;
                f.size = kHex.v[c] - 1u;
                f.st = S::Size;
                break;
            case S::Size:
                if (kHex.v[c]) {
                    if (f.size > kSizeShiftMax) return Fail::SizeOverflow;
                    f.size = (f.size << 4) | uint64_t(kHex.v[c] - 1u);
                } else if (c == ' ' || c == '\t') {
                    f.st = S::SizeWs;
                } else if (c == ';') {
                    f.st = S::Extension;
                } else if (c == '\r') {
                    f.st = S::SizeLf;
                } else {
                    return Fail::InvalidSize;
                }
                break;
            case S::SizeWs:
                if (c == ' ' || c == '\t') break;
                if (c == ';') {
                    f.st = S::Extension;
                } else if (c == '\r') {
                    f.st = S::SizeLf;
                } else {
                    return Fail::InvalidSizeWs;
                }
                break;
            case S::Extension:
                if (c == '\r') {
                    f.st = S::SizeLf;
                } else if (c == '\n') {
                    return Fail::ExtensionNewline;
                } else if (++f.ext_bytes >= kMaxExtensionBytes) {
                    return Fail::ExtensionsOverLimit;
                }
                break;
            case S::SizeLf:
                if (c != '\n') return Fail::InvalidSizeLf;
                ++i;
                f.st = f.size == 0 ? S::EndCr : S::Body;
                return Fail::None;
            case S::BodyCr:
                if (c != '\r') return Fail::InvalidBodyCr;
                f.st = S::BodyLf;
                break;
            case S::BodyLf:
                if (c != '\n') return Fail::InvalidBodyLf;
                f.st = S::Start;
                break;
            default:
                return Fail::None;  // not a framing state: nothing to read here
        }
        ++i;
    }
    return Fail::None;
}

size_t BodyDecoder::next_piece_size() const {
    size_t n = in_size();
    if (complete_ || fail_ != Fail::None || n == 0) return 0;
    switch (kind_) {
        case BodyKind::Length:
            return remaining_ < n ? size_t(remaining_) : n;
        case BodyKind::Close:
            return std::min(n, kCloseReadMax);
        case BodyKind::Chunked: {
            // The framing ahead is read on a copy of the state.
            Framing f{cstate_, remaining_, ext_bytes_};
            size_t i = 0;
            if (is_framing(f.st)) {
                if (scan_framing(f, in_data(), n, i) != Fail::None) return 0;
                ahead_ = {f, i, true};
            }
            if (f.st != ChunkState::Body || i == n) return 0;
            return f.size < n - i ? size_t(f.size) : n - i;
        }
        case BodyKind::Empty:
            break;
    }
    return 0;
}

void BodyDecoder::commit(size_t n) {
    in_consume(n);
    if (kind_ == BodyKind::Close) return;
    remaining_ -= n;
    if (remaining_ != 0) return;
    if (kind_ == BodyKind::Length)
        complete_ = true;
    else
        cstate_ = ChunkState::BodyCr;
}

BodyDecoder::Status BodyDecoder::peek_chunked(std::string_view* out) {
    if (is_framing(cstate_)) {
        Framing f{cstate_, remaining_, ext_bytes_};
        size_t i = 0;
        Fail e = Fail::None;
        if (ahead_.valid) {
            f = ahead_.f;
            i = ahead_.i;
        } else {
            e = scan_framing(f, in_data(), in_size(), i);
        }
        cstate_ = f.st;
        remaining_ = f.size;
        ext_bytes_ = f.ext_bytes;
        in_consume(i);  // on a failure the offending byte stays in the input
        if (e != Fail::None) return fail(e);
    }
    const uint8_t* p = in_data();
    const size_t n = in_size();
    if (cstate_ == ChunkState::Body) {
        if (n == 0) return eof_ ? fail(Fail::TruncatedBody) : Status::NeedMore;
        size_t take = remaining_ < n ? size_t(remaining_) : n;
        *out = std::string_view(reinterpret_cast<const char*>(p), take);
        return Status::Data;
    }
    // Only reached again after finish_chunked() ran out of memory.
    if (cstate_ == ChunkState::End) return finish_chunked();
    size_t i = 0;
    if (!is_framing(cstate_) && n > 0) {
        // The trailer section. When it holds fields, room for what it can
        // still take is made first, so running out of memory changes nothing.
        if (cstate_ != ChunkState::EndLf && (cstate_ != ChunkState::EndCr || p[0] != '\r'))
            trailer_buf_.reserve(std::min<size_t>(kMaxTrailerBytes, trailer_buf_.size() + n));
        ChunkState st = cstate_;
        // On a failure the offending byte stays in the input.
        auto failing = [&](Fail f) {
            in_consume(i);
            cstate_ = st;
            return fail(f);
        };
        auto push_trailer = [&](uint8_t c) {
            trailer_buf_.push_back(char(c));
            return trailer_buf_.size() < kMaxTrailerBytes;
        };
        for (; i < n; ++i) {
            const uint8_t c = p[i];
            switch (st) {
                case ChunkState::EndCr:
                    if (c == '\r') {
                        st = ChunkState::EndLf;
                        break;
                    }
                    if (!push_trailer(c)) return failing(Fail::TrailerBytesOverLimit);
                    st = ChunkState::Trailer;
                    break;
                case ChunkState::Trailer:
                    if (!push_trailer(c)) return failing(Fail::TrailerBytesOverLimit);
                    if (c == '\r') st = ChunkState::TrailerLf;
                    break;
                case ChunkState::TrailerLf:
                    if (c != '\n') return failing(Fail::InvalidTrailerLf);
                    if (!push_trailer(c)) return failing(Fail::TrailerBytesOverLimit);
                    if (trailer_lines_ >= kMaxTrailerLines) return failing(Fail::TrailerCountOverflow);
                    ++trailer_lines_;
                    st = ChunkState::EndCr;
                    break;
                case ChunkState::EndLf:
                    if (c != '\n') return failing(Fail::InvalidEndLf);
                    in_consume(i + 1);
                    cstate_ = ChunkState::End;
                    return finish_chunked();
                default:
                    break;  // never rested in here
            }
        }
        cstate_ = st;
    }
    in_consume(i);
    if (!eof_) return Status::NeedMore;
    return fail(Fail::TruncatedLine);
}

// Trailer block: lines "name:" OWS value OWS, each ended by CRLF (a bare LF
// also ends a line). The final empty line was consumed by the framing, so
// an empty line here would cut the section short and is refused.
BodyDecoder::Status BodyDecoder::finish_chunked() {
    if (trailer_lines_ > 0) {
        std::string_view block = trailer_buf_;
        HeaderList list;
        list.reserve(block.size(), trailer_lines_);
        uint32_t fields = 0;
        size_t pos = 0;
        while (pos < block.size()) {
            size_t lf = block.find('\n', pos);
            if (lf == std::string_view::npos) return fail(Fail::TrailerPartial);
            std::string_view line = block.substr(pos, lf - pos);
            pos = lf + 1;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (line.empty() || line.find('\r') != std::string_view::npos)
                return fail(Fail::TrailerBadNewline);
            size_t colon = 0;
            while (colon < line.size() && is_token_char(uint8_t(line[colon]))) ++colon;
            if (colon == 0 || colon == line.size() || line[colon] != ':')
                return fail(Fail::TrailerBadName);
            if (fields >= kMaxTrailerFields) return fail(Fail::TrailerTooMany);
            std::string_view value = trim_ows(line.substr(colon + 1));
            if (!is_field_value(value)) {
                fail_detail_ = render_line(line);
                return fail(Fail::TrailerBadValue);
            }
            HeaderList::Span ns = list.store_lower(line.substr(0, colon));
            HeaderList::Span vs = list.store_bytes(value);
            list.append_spans(ns, vs);  // at most 100 names: never full
            ++fields;
        }
        trailers_ = std::move(list);
        has_trailers_ = true;
        trailer_buf_.clear();
        trailer_buf_.shrink_to_fit();
    }
    complete_ = true;
    return Status::Complete;
}

std::string BodyDecoder::failure_text() const {
    switch (fail_) {
        case Fail::None: return {};
        case Fail::TruncatedBody: return "end of file before message length reached";
        case Fail::TruncatedLine: return "unexpected EOF during chunk size line";
        case Fail::MissingSizeDigit: return "Invalid chunk size line: missing size digit";
        case Fail::InvalidSize: return "Invalid chunk size line: Invalid Size";
        case Fail::InvalidSizeWs: return "Invalid chunk size linear white space";
        case Fail::InvalidSizeLf: return "Invalid chunk size LF";
        case Fail::InvalidBodyCr: return "Invalid chunk body CR";
        case Fail::InvalidBodyLf: return "Invalid chunk body LF";
        case Fail::InvalidTrailerLf: return "Invalid trailer end LF";
        case Fail::InvalidEndLf: return "Invalid chunk end LF";
        case Fail::SizeOverflow: return "invalid chunk size: overflow";
        case Fail::ExtensionNewline: return "invalid chunk extension contains newline";
        case Fail::ExtensionsOverLimit: return "chunk extensions over limit";
        case Fail::TrailerBytesOverLimit: return "chunk trailers bytes over limit";
        case Fail::TrailerCountOverflow: return "chunk trailers count overflow";
        case Fail::TrailerBadName: return "invalid header name";
        case Fail::TrailerBadNewline: return "invalid new line";
        case Fail::TrailerTooMany: return "too many headers";
        case Fail::TrailerPartial: return "Partial header";
        case Fail::TrailerBadValue: return "Invalid header value: " + fail_detail_;
    }
    return {};
}

IoClass BodyDecoder::failure_io() const {
    switch (fail_) {
        case Fail::None: return IoClass::None;
        case Fail::TruncatedBody:
        case Fail::TruncatedLine: return IoClass::UnexpectedEof;
        case Fail::SizeOverflow:
        case Fail::ExtensionNewline:
        case Fail::ExtensionsOverLimit:
        case Fail::TrailerBytesOverLimit:
        case Fail::TrailerCountOverflow: return IoClass::InvalidData;
        default: return IoClass::InvalidInput;
    }
}

Failure BodyDecoder::failure() const {
    Failure f;
    f.category = FailCategory::Body;
    f.description = kDescription;
    if (fail_ != Fail::None) {
        f.has_cause = true;
        f.cause = failure_text();
        f.io = failure_io();
    }
    return f;
}

}  // namespace wl::h1
