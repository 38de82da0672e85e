#include "pymclient/pym_install.h"

#include "pymclient/pym_protocol.h"
#include "pymclient/pym_request.h"

namespace pp = PymProtocol;

u32 PymInstallCDP(const Qel::String& path, ResultsLog* log, u32 options, bool& second,
                  PymTransactionCallback* callback) {
  second = false;
  PymRequest r;
  r.Out().WriteString(path);
  r.Out().WriteU32(options);
  r.Out().WriteU8(callback != nullptr ? 1 : 0);
  if (!r.Transact(pp::kOpInstallCdp, log, false, callback)) return 0;
  u32 count = 0;
  u8 flag = 0;
  r.In().ReadU32(count, 0);
  r.In().ReadU8(flag, 0);
  second = flag != 0;
  return count;
}

KUID PymInstallAssetFromFolder(const Qel::String& folder, ResultsLog* log, u32 options,
                               bool& second, PymTransactionCallback* callback) {
  PymRequest r;
  r.Out().WriteString(folder);
  r.Out().WriteU32(options);
  r.Out().WriteU8(callback != nullptr ? 1 : 0);
  if (!r.Transact(pp::kOpInstallAssetFromFolder, log, false, callback)) return KUID::Null();
  KUID kuid;
  u8 flag = 0;
  r.In().ReadKUID(kuid);
  r.In().ReadU8(flag, 0);
  second = flag != 0;
  return kuid;
}
