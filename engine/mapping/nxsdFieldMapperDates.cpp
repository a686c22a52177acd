#include "nxsdFieldMapperDates.h"

#include "nxllBde.h"
#include "nxsdFieldMapperInt.h"

#define NX_MAPPER_CLASS(Cls, Parent) \
  PL_CLASS_INFO_IMPL_TABLE(Cls, Parent, #Cls, nullptr, platform::bindClassTable(nxFieldMapperFuncs<Cls>))

NX_MAPPER_CLASS(TnxTimeMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxDateMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxDateTimeMapper, TnxBaseFieldMapper)
NX_MAPPER_CLASS(TnxGuidMapper, TnxBaseFieldMapper)

using namespace nxfm;

namespace {

constexpr double kMsPerDay = platform::kMSecsPerDay;

TnxResult copy4(const void*, const void* s, void* t) {
  std::memcpy(t, s, 4);
  return 0;
}
TnxResult copyDate8(const void*, const void* s, void* t) {
  std::memcpy(t, s, 8);
  return 0;
}
TnxResult copy16(const void*, const void* s, void* t) {
  std::memcpy(t, s, 16);
  return 0;
}

// Time into Date or DateTime, Date into Time: there is no value to store;
// the mapping engine then stores the target's default or NULL.
TnxResult noValue(const void*, const void*, void*) { return nxMapNoValue; }

TnxResult dateToDateTime(const void*, const void* s, void* t) {
  store(t, static_cast<double>(load<std::int32_t>(s)) * kMsPerDay);
  return 0;
}

// The interchange value (days since 1899-12-30) of a day number and the
// milliseconds of that day.
platform::DateTime interchange(std::int64_t aDay, std::int64_t aMs) {
  if (aDay >= 1 && aDay <= platform::kMaxDateNumber && aMs >= 0 && aMs < platform::kMSecsPerDay)
    return platform::timeStampToDateTime({static_cast<std::int32_t>(aMs), static_cast<std::int32_t>(aDay)});
  return static_cast<double>(aDay - platform::kDateDelta) + static_cast<double>(aMs) / kMsPerDay;
}

void splitDateTime(double m, std::int64_t& aDay, std::int64_t& aMs) {
  aDay = static_cast<std::int64_t>(std::trunc(m / kMsPerDay));
  aMs = static_cast<std::int64_t>(std::trunc(m - static_cast<double>(aDay) * kMsPerDay));
}

TnxResult dateTimeToDouble(const void*, const void* s, void* t) {
  const double m = load<double>(s);
  if (!std::isfinite(m) || std::fabs(m) > 1e18) return nxErrInvalidFieldXform;
  std::int64_t day, ms;
  splitDateTime(m, day, ms);
  store(t, interchange(day, ms));
  return 0;
}

template <bool Best>
TnxResult dateTimeToDate(const void*, const void* s, void* t) {
  const double m = load<double>(s);
  const double x = m / kMsPerDay;
  if (!std::isfinite(x) || std::fabs(x) > 2147483647.0) return nxErrInvalidFieldXform;
  if constexpr (!Best)
    if (!sameValue(x - std::trunc(x), 0, 1e-16L)) return nxErrInvalidFieldXform;
  store(t, static_cast<std::int32_t>(std::trunc(x)));
  return 0;
}

template <bool Best>
TnxResult dateTimeToTime(const void*, const void* s, void* t) {
  const double m = load<double>(s);
  if (!std::isfinite(m)) return nxErrInvalidFieldXform;
  if constexpr (!Best)
    if (!sameValue(std::trunc(m / kMsPerDay), 0, 1e-16L)) return nxErrInvalidFieldXform;
  // The milliseconds of the day, exactly (a quotient times 86400000 would
  // lose one now and then).
  store(t, static_cast<std::int32_t>(std::trunc(std::fmod(m, kMsPerDay))));
  return 0;
}

// Text of a date, time or date-time value; an impossible value gives no text.
enum class TnxDateKind { Time, Date, DateTime };

template <TnxDateKind K, bool Wide>
bool dateText(const void* s, const platform::FormatSettings& fs, std::string& a8, std::u16string& a16) {
  try {
    platform::DateTime dt;
    if constexpr (K == TnxDateKind::Time) {
      dt = load<std::int32_t>(s) / kMsPerDay;
    } else if constexpr (K == TnxDateKind::Date) {
      dt = static_cast<double>(load<std::int32_t>(s)) - platform::kDateDelta;
    } else {
      const double m = load<double>(s);
      if (!std::isfinite(m) || std::fabs(m) > 1e18) return false;
      std::int64_t day, ms;
      splitDateTime(m, day, ms);
      dt = interchange(day, ms);
    }
    if constexpr (K == TnxDateKind::Time) {
      if constexpr (Wide) a16 = nxTimeToStr(dt, fs);
      else a8 = nxTimeToAnsiStr(dt, fs).bytes;
    } else if constexpr (K == TnxDateKind::Date) {
      if constexpr (Wide) a16 = nxDateToStr(dt, fs);
      else a8 = nxDateToAnsiStr(dt, fs).bytes;
    } else {
      if constexpr (Wide) a16 = nxDateTimeToStr(dt, fs);
      else a8 = nxDateTimeToAnsiStr(dt, fs).bytes;
    }
    return true;
  } catch (const platform::RangeError&) {
    return false;
  } catch (const platform::ConvertError&) {
    return false;
  }
}

const platform::FormatSettings& settingsOf(const TnxTimeMapper* m) { return m->tmFormatSettings; }
const platform::FormatSettings& settingsOf(const TnxDateMapper* m) { return m->dmFormatSettings; }
const platform::FormatSettings& settingsOf(const TnxDateTimeMapper* m) { return m->dtmFormatSettings; }
platform::FormatSettings& settingsOf(TnxTimeMapper* m) { return m->tmFormatSettings; }
platform::FormatSettings& settingsOf(TnxDateMapper* m) { return m->dmFormatSettings; }
platform::FormatSettings& settingsOf(TnxDateTimeMapper* m) { return m->dtmFormatSettings; }
std::int32_t lengthOf(const TnxTimeMapper* m) { return m->tmTargetLength; }
std::int32_t lengthOf(const TnxDateMapper* m) { return m->dmTargetLength; }
std::int32_t lengthOf(const TnxDateTimeMapper* m) { return m->dtmTargetLength; }

template <class M, TnxDateKind K, TnxFieldType T, bool Truncate>
TnxResult dateToText(const void* aData, const void* s, void* t) {
  const auto* self = static_cast<const M*>(aData);
  std::string a8;
  std::u16string a16;
  if (!dateText<K, T == nxtWideString>(s, settingsOf(self), a8, a16)) return nxErrInvalidFieldXform;
  if constexpr (T == nxtWideString)
    return putText16(t, lengthOf(self), a16, Truncate);
  else
    return putText8(t, T == nxtShortString, lengthOf(self), a8, Truncate);
}

template <class M, TnxDateKind K>
TnxMappingRoutine textRoutine(TnxFieldType aTarget, bool aTruncate) {
  switch (aTarget) {
    case nxtShortString:
      return aTruncate ? dateToText<M, K, nxtShortString, true> : dateToText<M, K, nxtShortString, false>;
    case nxtNullString:
      return aTruncate ? dateToText<M, K, nxtNullString, true> : dateToText<M, K, nxtNullString, false>;
    default: return aTruncate ? dateToText<M, K, nxtWideString, true> : dateToText<M, K, nxtWideString, false>;
  }
}

// The sample (now) formatted for the target; its length decides the routine.
template <TnxDateKind K>
std::size_t sampleLength(TnxFieldType aTarget, const platform::FormatSettings& fs) {
  const platform::DateTime now = platform::now();
  platform::DateTime dt = K == TnxDateKind::Time ? platform::currentTime() : K == TnxDateKind::Date ? platform::currentDate() : now;
  if (K == TnxDateKind::Time) {
    return aTarget == nxtWideString ? nxTimeToStr(dt, fs).size() : nxTimeToAnsiStr(dt, fs).bytes.size();
  } else if (K == TnxDateKind::Date) {
    return aTarget == nxtWideString ? nxDateToStr(dt, fs).size() : nxDateToAnsiStr(dt, fs).bytes.size();
  }
  return aTarget == nxtWideString ? nxDateTimeToStr(dt, fs).size() : nxDateTimeToAnsiStr(dt, fs).bytes.size();
}

// Instance of a date or time class for a string target.
template <class M, TnxDateKind K>
M* newTextMapper(TnxFieldDescriptor& aTargetField, bool aBest, TnxMappingMethod& aMapper) {
  M* self = platform::create<M>();
  bool truncate = aBest;
  try {
    platform::FormatSettings& fs = settingsOf(self);
    fs = fieldFormatSettings(aTargetField);
    if (!aBest) truncate = sampleFits(aTargetField.fdType, aTargetField.fdLength, sampleLength<K>(aTargetField.fdType, fs));
  } catch (...) {
    platform::TObject::free(self);
    throw;
  }
  aMapper = {textRoutine<M, K>(aTargetField.fdType, truncate), self};
  return self;
}

}  // namespace

TnxBaseFieldMapper* TnxTimeMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                        TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                        const TnxFieldMapperDescriptor* aMapperDesc,
                                                        TnxMappingMethod& aMapper) {
  if (aSourceField.fdType != nxtTime) return nullptr;
  const bool best = nxIsBestFit(aMapperDesc);
  const void* cls = classData(staticClassInfo());
  switch (aTargetField.fdType) {
    case nxtTime: aMapper = {copy4, cls}; return nullptr;
    case nxtDate:
    case nxtDateTime:
      if (best) aMapper = {noValue, cls};
      return nullptr;
    case nxtByteArray:
      if (aTargetField.fdUnits >= 8) aMapper = {copy4, cls};
      return nullptr;
    case nxtShortString:
    case nxtNullString:
    case nxtWideString: {
      TnxTimeMapper* self = newTextMapper<TnxTimeMapper, TnxDateKind::Time>(aTargetField, best, aMapper);
      self->tmTargetLength = aTargetField.fdLength;
      self->tmTargetField = &aTargetField;
      return self;
    }
    default: return nullptr;
  }
}

TnxBaseFieldMapper* TnxDateMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                        TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                        const TnxFieldMapperDescriptor* aMapperDesc,
                                                        TnxMappingMethod& aMapper) {
  if (aSourceField.fdType != nxtDate) return nullptr;
  const bool best = nxIsBestFit(aMapperDesc);
  const void* cls = classData(staticClassInfo());
  switch (aTargetField.fdType) {
    case nxtDate: aMapper = {copy4, cls}; return nullptr;
    case nxtDateTime: aMapper = {dateToDateTime, cls}; return nullptr;
    case nxtTime:
      if (best) aMapper = {noValue, cls};
      return nullptr;
    case nxtByteArray:
      if (aTargetField.fdUnits >= 8) aMapper = {copy4, cls};
      return nullptr;
    case nxtShortString:
    case nxtNullString:
    case nxtWideString: {
      TnxDateMapper* self = newTextMapper<TnxDateMapper, TnxDateKind::Date>(aTargetField, best, aMapper);
      self->dmTargetLength = aTargetField.fdLength;
      self->dmTargetField = &aTargetField;
      return self;
    }
    default: return nullptr;
  }
}

TnxBaseFieldMapper* TnxDateTimeMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                            TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                            const TnxFieldMapperDescriptor* aMapperDesc,
                                                            TnxMappingMethod& aMapper) {
  if (aSourceField.fdType != nxtDateTime) return nullptr;
  const bool best = nxIsBestFit(aMapperDesc);
  const void* cls = classData(staticClassInfo());
  switch (aTargetField.fdType) {
    case nxtDateTime: aMapper = {copyDate8, cls}; return nullptr;
    case nxtDouble: aMapper = {dateTimeToDouble, cls}; return nullptr;
    case nxtDate: aMapper = {best ? dateTimeToDate<true> : dateTimeToDate<false>, cls}; return nullptr;
    case nxtTime: aMapper = {best ? dateTimeToTime<true> : dateTimeToTime<false>, cls}; return nullptr;
    case nxtByteArray:
      if (aTargetField.fdUnits >= 8) aMapper = {copyDate8, cls};
      return nullptr;
    case nxtShortString:
    case nxtNullString:
    case nxtWideString: {
      TnxDateTimeMapper* self = newTextMapper<TnxDateTimeMapper, TnxDateKind::DateTime>(aTargetField, best, aMapper);
      self->dtmSourceType = aSourceField.fdType;
      self->dtmTargetLength = aTargetField.fdLength;
      return self;
    }
    default: return nullptr;
  }
}

namespace {

template <TnxFieldType T>
TnxResult guidToText(const void*, const void* s, void* t) {
  const std::string text = platform::guidToAnsiString(load<platform::Guid>(s));
  if constexpr (T == nxtShortString) {
    writeShort(t, text.data(), text.size());
  } else if constexpr (T == nxtNullString) {
    writeNull(t, text.data(), text.size());
  } else {
    const std::u16string wide(text.begin(), text.end());
    writeWide(t, wide.data(), wide.size());
  }
  return 0;
}

}  // namespace

TnxBaseFieldMapper* TnxGuidMapper::InternalCreateMapper(TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                        TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                        const TnxFieldMapperDescriptor*, TnxMappingMethod& aMapper) {
  if (aSourceField.fdType != nxtGuid) return nullptr;
  const void* cls = classData(staticClassInfo());
  const TnxFieldType target = aTargetField.fdType;
  if (target == nxtGuid) {
    aMapper = {copy16, cls};
  } else if (target == nxtByteArray) {
    if (aTargetField.fdUnits >= 16) aMapper = {copy16, cls};
  } else if (isStringType(target)) {
    // The text's length is measured on a fresh GUID.
    std::size_t length = 0;
    try {
      length = platform::guidToAnsiString(platform::newGuid()).size();
    } catch (const platform::OsError&) {
      return nullptr;
    }
    if (aTargetField.fdUnits < static_cast<std::int32_t>(length) + 1) return nullptr;
    aMapper = {target == nxtShortString  ? guidToText<nxtShortString>
               : target == nxtNullString ? guidToText<nxtNullString>
                                         : guidToText<nxtWideString>,
               cls};
  }
  return nullptr;
}

void nxsdFieldMapperRegisterDates() {
  const auto rows = {
      std::pair{&TnxDateMapper::staticClassInfo(), nxtDate},
      std::pair{&TnxTimeMapper::staticClassInfo(), nxtTime},
  };
  for (const auto& [cls, source] : rows)
    nxsdFieldMapperRegisterRow(*cls, source,
                               {nxtShortString, nxtNullString, nxtWideString, nxtDate, nxtTime, nxtDateTime, nxtByteArray},
                               false);
  nxsdFieldMapperRegisterRow(TnxDateTimeMapper::staticClassInfo(), nxtDateTime,
                             {nxtShortString, nxtNullString, nxtWideString, nxtDouble, nxtDate, nxtTime, nxtDateTime,
                              nxtByteArray},
                             false);
  nxsdFieldMapperRegisterRow(TnxGuidMapper::staticClassInfo(), nxtGuid,
                             {nxtShortString, nxtNullString, nxtWideString, nxtByteArray, nxtGuid}, false);
}
