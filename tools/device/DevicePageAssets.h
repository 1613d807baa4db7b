#pragma once

// The device's page, built into the program: nothing it needs is fetched from elsewhere, and it needs no
// build step. The HTML holds "{{TOKEN}}" where the server puts the token for the page's requests.
namespace DevicePageAssets {

extern const char* const html;
extern const char* const script;
extern const char* const style;

} // namespace DevicePageAssets
