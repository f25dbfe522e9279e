#include "page.h"

#include <cstddef>

namespace zelvoqueue {

namespace page {  // written by page/embed.cmake
extern const unsigned char index_html[], app_js[], style_css[], icon_svg[];
extern const std::size_t index_html_size, app_js_size, style_css_size, icon_svg_size;
}  // namespace page

namespace {

// No inline script or style, nothing from elsewhere, no framing.
constexpr char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

struct File {
    const char* path;
    const char* type;
    const unsigned char* data;
    const std::size_t* size;
};

const File kFiles[] = {
    {"/", "text/html; charset=utf-8", page::index_html, &page::index_html_size},
    {"/app.js", "text/javascript; charset=utf-8", page::app_js, &page::app_js_size},
    {"/style.css", "text/css; charset=utf-8", page::style_css, &page::style_css_size},
    {"/icon.svg", "image/svg+xml", page::icon_svg, &page::icon_svg_size},
};

}  // namespace

std::optional<Response> pageResponse(const Request& r) {
    for (const File& f : kFiles) {
        if (r.path != f.path) continue;
        if (r.method != "GET" && r.method != "HEAD") {
            Response res = errorResponse(405, "allowed: GET, HEAD");
            res.headers.emplace_back("Allow", "GET, HEAD");
            res.token = "-";
            return res;
        }
        Response res{200,
                     std::string(reinterpret_cast<const char*>(f.data), *f.size),
                     f.type,
                     {{"Content-Security-Policy", kPolicy},
                      {"X-Frame-Options", "DENY"},
                      {"Referrer-Policy", "no-referrer"}},
                     "-"};
        return res;
    }
    return std::nullopt;
}

}  // namespace zelvoqueue
