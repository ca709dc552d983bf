// Reading the delimiters and part heads of a multipart/byteranges body. Each
// line is bounded, and so is a head: a server cannot make the reader hold more.
#include "transfer/multipart.h"

#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t longest_line = 1024;
constexpr int most_head_lines = 16;

enum class Line { whole, cut, long_line };

// One line, its line end included, read byte by byte so that nothing of the
// part's bytes is taken; each byte is taken from *budget.
Line read_line(UrlStream* stream, std::string* line, std::int64_t* budget) {
    line->clear();
    char c = 0;
    while (line->size() < longest_line && *budget > 0) {
        if (url_fread(&c, 1, 1, stream) != 1) return Line::cut;
        --*budget;
        line->push_back(c);
        if (c == '\n') return Line::whole;
    }
    return Line::long_line;
}

// The line without its end (CR LF, or a bare LF).
std::string_view bare(const std::string& line) {
    std::string_view text(line);
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    return text;
}

}  // namespace

MultipartRead multipart_next(UrlStream* stream, const char* boundary, UrlResponse* part,
                             std::int64_t* budget) {
    std::string line;
    // The line end before a delimiter belongs to it; the body's first
    // delimiter may come without one.
    Line read = read_line(stream, &line, budget);
    if (read == Line::whole && bare(line).empty()) read = read_line(stream, &line, budget);
    if (read != Line::whole) return read == Line::cut ? MultipartRead::cut : MultipartRead::malformed;
    std::string_view delimiter = bare(line);
    const std::size_t length = std::strlen(boundary);
    if (delimiter.substr(0, 2) != "--" || delimiter.substr(2, length) != boundary)
        return MultipartRead::malformed;
    delimiter.remove_prefix(2 + length);
    if (delimiter.substr(0, 2) == "--") return MultipartRead::end;
    // Blanks may pad a delimiter before its line end; nothing else may.
    if (delimiter.find_first_not_of(" \t") != std::string_view::npos)
        return MultipartRead::malformed;

    std::memset(part, 0, sizeof *part);
    part->range_first = part->range_last = part->range_total = -1;
    for (int i = 0; i <= most_head_lines; ++i) {
        read = read_line(stream, &line, budget);
        if (read != Line::whole)
            return read == Line::cut ? MultipartRead::cut : MultipartRead::malformed;
        url_part_header(*part, line);
        if (bare(line).empty()) return MultipartRead::part;
    }
    return MultipartRead::malformed;
}
