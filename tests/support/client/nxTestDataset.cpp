#include "nxTestDataset.h"

PL_CLASS_INFO_IMPL(TnxTestDataset, TnxDataset, "TnxTestDataset", nullptr)

void TnxTestDataset::dsOpenEngineCursor() {
  TnxDatabase* db = Database();
  if (!db || !db->AbstractDatabase()) dsRaiseMessage(u"DataSet cannot open its database");
  TnxAbstractCursor* cursor = nullptr;
  dsCheck(db->AbstractDatabase()->CursorOpen(cursor, tdsTableName, u"", tdsOpenMode, tdsShareMode,
                                             static_cast<std::uint32_t>(dsEffectiveTimeout()), tdsIndexName, 0, false,
                                             {}, FilterTimeout(), nullptr));
  if (tdsRecordCalls) {
    try {
      auto* recorder = platform::create<TnxRecordingCursor>(cursor);
      cursor = recorder;
      for (const Injection& i : std::exchange(tdsInjections, {})) recorder->Inject(i.name, i.result, i.count);
    } catch (...) {
      platform::TObject::free(cursor);
      throw;
    }
  }
  dsAbstractCursor = cursor;
  try {
    dsReadDictionary();
  } catch (...) {
    dsClearDictionary();
    platform::TObject::free(std::exchange(dsAbstractCursor, nullptr));
    throw;
  }
}
