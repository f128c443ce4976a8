// The list of engines by protocol type: each engine defines its descriptors
// in its own unit.
#include "protocols/ascii/QwAscii.h"
#include "protocols/bplus/QwBPlus.h"
#include "protocols/core/QwTPcl.h"
#include "protocols/kermit/QwKermit.h"
#include "protocols/xymodem/QwYmodem.h"
#include "protocols/zmodem/QwZmodem.h"
#include "serial/QxSrMgr.h"

namespace zav {

const TEngine& EngineOf(int type) {
  static const TEngine none{};
  static const TEngine* const engines[kProtocolTypeCount] = {
      &none,          &kXmodemEngine, &kXmodemCRCEngine, &kXmodem1KEngine, &kXmodem1KGEngine, &kYmodemEngine,
      &kYmodemGEngine, &kZmodemEngine, &kKermitEngine,   &kAsciiEngine,    &kBPlusEngine};
  return type >= 0 && type < kProtocolTypeCount ? *engines[type] : none;
}

std::string EngineStateName(TProtocolType type, int state) {
  return MeroErrorStrings().GetText(idLogSubKindNames + EngineOf(type).StateBase + uint32_t(state));
}

}  // namespace zav
