#include "app/brand/app_brand.h"

namespace app_brand {

std::string get_org_name() { return "云貂代理"; }

}  // namespace app_brand
