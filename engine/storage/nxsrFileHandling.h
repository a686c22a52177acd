// File utilities of the server: deleting and renaming files with the OS
// error in the exception, path and extension joining, the temporary folder.
#pragma once

#include "nxsrTypes.h"

NX_DECLARE_EXCEPTION(EnxFileManagementException, EnxServerOSException)

// 15393 "DeleteFile ("<name>")" with the OS text on failure.
void nxDeleteFile(const nxString& aFileName);
// 15394 "RenameFile (from "<old>" to "<new>")" with the OS text on failure.
void nxRenameFile(const nxString& aOldName, const nxString& aNewName);
// aFolder + aName when aFolder is empty or ends with "/", else with a "/".
nxString nxCombinePath(const nxString& aFolder, const nxString& aName);
nxString nxAddExtension(const nxString& aName, const nxString& aExtension);
// $TMPDIR, else /tmp.
nxString nxTempFolder();
