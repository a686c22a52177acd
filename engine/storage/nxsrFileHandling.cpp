#include "nxsrFileHandling.h"

#include <cstdlib>

#include "plFileSystem.h"

NX_IMPLEMENT_EXCEPTION(EnxFileManagementException, EnxServerOSException)

namespace {

[[noreturn]] void raiseOS(TnxResult aCode, const nxString& aAction, int aError) {
  throw EnxFileManagementException(aCode, u"%s: %s [error %d]",
                                   {aAction, nxSystemErrorMessage(static_cast<TnxWord32>(aError)),
                                    static_cast<std::int64_t>(aError)});
}

}  // namespace

void nxDeleteFile(const nxString& aFileName) {
  if (const int err = platform::currentFileSystem().remove(platform::toUtf8(aFileName)))
    raiseOS(15393, u"DeleteFile (\"" + aFileName + u"\")", err);
}

void nxRenameFile(const nxString& aOldName, const nxString& aNewName) {
  if (const int err = platform::currentFileSystem().rename(platform::toUtf8(aOldName), platform::toUtf8(aNewName)))
    raiseOS(15394, u"RenameFile (from \"" + aOldName + u"\" to \"" + aNewName + u"\")", err);
}

nxString nxCombinePath(const nxString& aFolder, const nxString& aName) {
  if (aFolder.empty() || aFolder.back() == u'/') return aFolder + aName;
  return aFolder + u"/" + aName;
}

nxString nxAddExtension(const nxString& aName, const nxString& aExtension) { return aName + u"." + aExtension; }

nxString nxTempFolder() {
  const char* dir = std::getenv("TMPDIR");
  return platform::fromUtf8(dir && *dir ? dir : "/tmp");
}
