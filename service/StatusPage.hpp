#pragma once

#include <string>

namespace service {

// The live status page: plain HTML, its style and a few lines of script that
// fetch /status.json every two seconds. No outside assets: it works on a site
// without internet.
const std::string& StatusPageHtml();

} // namespace service
