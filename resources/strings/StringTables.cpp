#include "resources/strings/StringTables.h"

#include "platform/Resources.h"

namespace zav {

void RegisterStringTables() {
  RegisterResource("QXSRMGR_STRINGS", QxSrMgrStringsBlob());
  RegisterResource("MERO_ERROR_STRINGS_ENGLISH", MeroErrorStringsEnglishBlob());
}

}  // namespace zav
