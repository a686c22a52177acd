// The cursor component and the hooks of the dataset that owns it. Part of
// nxdb: include nxdb.h, not this header.
//
// Every client dataset (TnxDataset) owns one TnxCursor, which ties it into
// the component graph below its TnxDatabase: starting the cursor component
// starts the database (and so the session) first, and the database going
// down closes the dataset. The dataset frees its cursor component.
// Thread safety: driven by the thread that owns the session.
#pragma once

#include "nxdbComponent.h"
#include "nxdbDataset.h"

class TnxDatabase;
class TnxCursor;

class TnxCursor : public TnxDataAccessStateComponent {
  PL_CLASS_INFO_DECL()
 public:
  // No owner component: aDataSet frees it.
  explicit TnxCursor(TnxDataset* aDataSet);

  TnxDataset* DataSet() const { return crDataSet; }
  TnxDatabase* Database() const { return crDatabase; }
  // A new database needs an inactive cursor component; relinks.
  void SetDatabase(TnxDatabase* aValue);

  void CheckInactive() override;
  bool DependsOn(TnxStateComponent* aComponent) const override;
  // The database going away makes the component inactive without database.
  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override;

 protected:
  void scInitializing() override;
  void scStopping() override;
  // "DataSet cannot open its database" without a database.
  void crCheckDatabase() const;

 private:
  TnxDataset* crDataSet;
  TnxDatabase* crDatabase = nullptr;  // not owned
};
