#include "nxsrTypes.h"

#include <atomic>

NX_IMPLEMENT_EXCEPTION(EnxServerException, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxServerOSException, EnxServerException)

bool nxsrFatalErrorIsSet() { return nxFatalError.load(std::memory_order_acquire); }
void nxsrSetFatalError() { nxFatalError.store(true, std::memory_order_release); }

const char16_t* const nxsrFatalErrorMessage =
    u"A fatal error has occurred. Server operations are suspended until the server is restarted. Check exception "
    u"log at server for further information";

void nxsrCountSessionStats(TnxSessionStatsCounter aCounter, std::int64_t aValue) {
  TnxSessionStats::Count(aCounter, aValue);
}
