// Alias handlers: the component that maps alias names to folder paths, and
// its in-memory implementation. Part of nxsrServerEngine: include
// nxsrServerEngine.h, not this header.
//
// Contracts:
// - TnxSimpleAliasHandler keeps a sorted list (names compared without
//   regard to case, duplicates refused) whose objects are TnxAliasItems it
//   owns. Readers (GetPath, GetList) take the read side of the component's
//   portal, writers (Add, Delete, Modify) the write side; the portal is
//   re-entrant, so Modify calls GetPath, Delete and Add while it writes.
// - Directories that an enforced Add or Modify needs are made, with their
//   missing parents, through the file-system seam.
// - Configuration key "Aliases": name=path pairs joined by ";". Settings
//   stream (tagged values): integer 1, then a list of (alias, path) string
//   pairs from the last alias to the first.
#pragma once

#include <vector>

#include "nxllComponent.h"
#include "nxllConfigSettings.h"
#include "nxllSyncPortal.h"
#include "nxsdServerEngine.h"

// One alias's folder.
class TnxAliasItem : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxAliasItem(const nxString& aPath) : Path(aPath) {}
  nxString Path;
};

class TnxBaseAliasHandler : public TnxComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TnxComponent::TnxComponent;

  virtual void Clear() = 0;
  virtual TnxResult Add(const nxString& aAlias, const nxString& aPath, bool aEnforce) = 0;
  virtual TnxResult Delete(const nxString& aAlias) = 0;
  virtual TnxResult Modify(const nxString& aAlias, const nxString& aNewName, const nxString& aNewPath,
                           bool aEnforce) = 0;
  // Appends one descriptor per alias, in list order.
  virtual TnxResult GetList(std::vector<TnxOwned<TnxAliasDescriptor>>& aList) = 0;
  virtual TnxResult GetPath(const nxString& aAlias, nxString& aPath) = 0;
  bool IsAlias(const nxString& aAlias);

  // Inherited, then "Aliases".
  void GetConfigSettings(TnxBaseSettings& aSettings) override;
  // Replaces the aliases; a bad name or a missing folder adds a line to the
  // configuration's errors.
  void LoadConfig(TnxBaseComponentConfiguration& aConfig) override;
  void SaveConfig(TnxBaseComponentConfiguration& aConfig) override;
  // Reading a version other than 1 raises 15498.
  void LoadSettingsFromStream(TnxReader& aReader) override;
  void SaveSettingsToStream(TnxWriter& aWriter) override;
};

class TnxSimpleAliasHandler : public TnxBaseAliasHandler {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxSimpleAliasHandler(TnxComponent* aOwner = nullptr);
  ~TnxSimpleAliasHandler() override;

  void Clear() override;
  TnxResult Add(const nxString& aAlias, const nxString& aPath, bool aEnforce) override;
  TnxResult Delete(const nxString& aAlias) override;
  TnxResult Modify(const nxString& aAlias, const nxString& aNewName, const nxString& aNewPath,
                   bool aEnforce) override;
  TnxResult GetList(std::vector<TnxOwned<TnxAliasDescriptor>>& aList) override;
  TnxResult GetPath(const nxString& aAlias, nxString& aPath) override;

 private:
  TnxInternalReadWritePortal* sahPortal;  // owned
  platform::TStringList sahList;          // objects: owned TnxAliasItems
};

// True when aPath names an existing folder (through the file-system seam).
bool nxDirectoryExists(const nxString& aPath);
// Makes aPath a folder with its missing parents; false when it cannot be.
bool nxForceDirectories(const nxString& aPath);
