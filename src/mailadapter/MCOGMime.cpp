#include <gmime/gmime.h>

#include "mailadapter/MCOGMime.h"

#include <mutex>

namespace {

std::once_flag g_initOnce;
GMimeParserOptions *g_options = nullptr;

void initialize()
{
    g_mime_init();
    g_options = g_mime_parser_options_new();
    // Mail in the wild puts encoded words inside words and quoted strings, splits
    // multibyte characters across words and leaves addresses without domains: read
    // all of it rather than leaving the raw "=?...?=" text on screen.
    g_mime_parser_options_set_rfc2047_compliance_mode(g_options, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_address_compliance_mode(g_options, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_parameter_compliance_mode(g_options, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_allow_addresses_without_domain(g_options, TRUE);
    // GMime's own decoding of raw 8-bit header text (the adapter decodes most of it
    // itself, see MCOHeaderDecoder): UTF-8 first, windows-1252 last as it takes any byte.
    static const char *fallback[] = {"utf-8", "windows-1252", nullptr};
    g_mime_parser_options_set_fallback_charsets(g_options, fallback);
}

} // namespace

void MCOGMime::ensureInitialized()
{
    std::call_once(g_initOnce, initialize);
}

GMimeParserOptions *MCOGMime::parserOptions()
{
    ensureInitialized();
    return g_options;
}
