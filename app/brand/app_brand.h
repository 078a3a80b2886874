#pragma once
// The organisation behind the application, as its windows name it.
#include <string>

#include "app/brand/app_brand_export.h"

namespace app_brand {

// The organisation's display name (UTF-8), e.g. for window titles.
APP_BRAND_EXPORT std::string get_org_name();

}  // namespace app_brand
