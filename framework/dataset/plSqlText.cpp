#include "plSqlText.h"

#include <vector>

#include "plDataSet.h"

namespace platform {

namespace sqltext {

enum class SqlTokKind { word, quoted, number, symbol };

struct SqlToken {
  SqlTokKind kind;
  UnicodeString text;
  int depth;  // parenthesis depth at the token
};

bool isWordChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
         c == u'$' || c == u'#' || c >= 0x80;
}

std::vector<SqlToken> tokenize(UnicodeStringView aSql) {
  std::vector<SqlToken> tokens;
  int depth = 0;
  const std::size_t n = aSql.size();
  std::size_t i = 0;
  while (i < n) {
    const char16_t c = aSql[i];
    if (c == u'-' && i + 1 < n && aSql[i + 1] == u'-') {
      while (i < n && aSql[i] != u'\n' && aSql[i] != u'\r') ++i;
    } else if (c == u'/' && i + 1 < n && aSql[i + 1] == u'*') {
      const std::size_t end = aSql.find(u"*/", i + 2);
      i = end == UnicodeStringView::npos ? n : end + 2;
    } else if (c == u'\'') {
      const std::size_t end = aSql.find(u'\'', i + 1);
      i = end == UnicodeStringView::npos ? n : end + 1;
    } else if (c == u'"' || c == u'[') {
      const char16_t close = c == u'"' ? u'"' : u']';
      const std::size_t end = aSql.find(close, i + 1);
      const std::size_t stop = end == UnicodeStringView::npos ? n : end;
      tokens.push_back({SqlTokKind::quoted, UnicodeString(aSql.substr(i + 1, stop - i - 1)), depth});
      i = stop == n ? n : stop + 1;
    } else if (isWordChar(c)) {
      const std::size_t start = i;
      while (i < n && isWordChar(aSql[i])) ++i;
      UnicodeString word(aSql.substr(start, i - start));
      bool digits = true;
      for (char16_t d : word) digits = digits && d >= u'0' && d <= u'9';
      tokens.push_back({digits ? SqlTokKind::number : SqlTokKind::word, std::move(word), depth});
    } else if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n') {
      ++i;
    } else {
      if (c == u')') --depth;
      tokens.push_back({SqlTokKind::symbol, UnicodeString(1, c), depth});
      if (c == u'(') ++depth;
      ++i;
    }
  }
  return tokens;
}

bool isKeyword(const SqlToken& aToken, const char* aWord) {
  if (aToken.kind != SqlTokKind::word) return false;
  std::size_t k = 0;
  for (; aWord[k]; ++k) {
    if (k >= aToken.text.size()) return false;
    char16_t c = aToken.text[k];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != static_cast<char16_t>(aWord[k])) return false;
  }
  return k == aToken.text.size();
}

bool isName(const SqlToken& aToken) { return aToken.kind == SqlTokKind::word || aToken.kind == SqlTokKind::quoted; }

// A dotted name from aAt on; aAt moves past it. Empty when none stands there.
UnicodeString dottedName(const std::vector<SqlToken>& aTokens, std::size_t& aAt, UnicodeString* aLastPart = nullptr) {
  if (aAt >= aTokens.size() || !isName(aTokens[aAt])) return {};
  UnicodeString name = aTokens[aAt].text;
  UnicodeString last = name;
  ++aAt;
  while (aAt + 1 < aTokens.size() && aTokens[aAt].kind == SqlTokKind::symbol && aTokens[aAt].text == u"." &&
         isName(aTokens[aAt + 1])) {
    last = aTokens[aAt + 1].text;
    name += u"." + last;
    aAt += 2;
  }
  if (aLastPart) *aLastPart = last;
  return name;
}

}  // namespace sqltext

using namespace sqltext;

UnicodeString GetTableNameFromSQL(UnicodeStringView aSql) {
  const std::vector<SqlToken> t = tokenize(aSql);
  if (t.empty()) return {};
  std::size_t at = 0;
  if (isKeyword(t[0], "SELECT") || isKeyword(t[0], "DELETE")) {
    while (at < t.size() && !(t[at].depth == 0 && isKeyword(t[at], "FROM"))) ++at;
    if (at == t.size()) return {};
    ++at;
  } else if (isKeyword(t[0], "UPDATE")) {
    at = 1;
  } else if (isKeyword(t[0], "INSERT")) {
    at = t.size() > 1 && isKeyword(t[1], "INTO") ? 2 : 1;
  } else {
    return {};
  }
  const UnicodeString name = dottedName(t, at);
  if (name.empty()) return {};
  // An alias may follow; a comma or a join names a second table.
  if (at < t.size() && isKeyword(t[at], "AS")) ++at;
  if (at < t.size() && isName(t[at]) && !isKeyword(t[at], "WHERE") && !isKeyword(t[at], "SET") &&
      !isKeyword(t[at], "ORDER") && !isKeyword(t[at], "GROUP") && !isKeyword(t[at], "HAVING") &&
      !isKeyword(t[at], "JOIN") && !isKeyword(t[at], "INNER") && !isKeyword(t[at], "LEFT") &&
      !isKeyword(t[at], "RIGHT") && !isKeyword(t[at], "FULL") && !isKeyword(t[at], "CROSS") &&
      !isKeyword(t[at], "NATURAL") && !isKeyword(t[at], "UNION"))
    ++at;
  if (at < t.size()) {
    const SqlToken& next = t[at];
    if ((next.kind == SqlTokKind::symbol && next.text == u",") || isKeyword(next, "JOIN") || isKeyword(next, "INNER") ||
        isKeyword(next, "LEFT") || isKeyword(next, "RIGHT") || isKeyword(next, "FULL") || isKeyword(next, "CROSS") ||
        isKeyword(next, "NATURAL"))
      return {};
  }
  return name;
}

std::unique_ptr<TIndexDef> GetIndexForOrderBy(UnicodeStringView aSql, const TDataSet* aDataSet) {
  const std::vector<SqlToken> t = tokenize(aSql);
  std::size_t at = t.size();
  for (std::size_t i = 0; i + 1 < t.size(); ++i)
    if (t[i].depth == 0 && isKeyword(t[i], "ORDER") && isKeyword(t[i + 1], "BY")) at = i + 2;
  if (at >= t.size()) return nullptr;
  UnicodeString fields, descFields;
  for (;;) {
    UnicodeString field;
    if (at < t.size() && t[at].kind == SqlTokKind::number) {
      const int number = std::stoi(std::string(t[at].text.begin(), t[at].text.end()));
      if (!aDataSet || number < 1 || number > aDataSet->Fields().Count()) return nullptr;
      field = aDataSet->Fields().Fields(number - 1)->FieldName();
      ++at;
    } else {
      dottedName(t, at, &field);
      if (field.empty()) return nullptr;
    }
    bool descending = false;
    if (at < t.size() && (isKeyword(t[at], "ASC") || isKeyword(t[at], "ASCENDING"))) {
      ++at;
    } else if (at < t.size() && (isKeyword(t[at], "DESC") || isKeyword(t[at], "DESCENDING"))) {
      descending = true;
      ++at;
    }
    fields += (fields.empty() ? u"" : u";") + field;
    if (descending) descFields += (descFields.empty() ? u"" : u";") + field;
    if (at < t.size() && t[at].kind == SqlTokKind::symbol && t[at].text == u",") {
      ++at;
      continue;
    }
    // Anything but the end of the items (a closing word such as LIMIT is
    // not ours to know) makes the order unnameable.
    if (at < t.size() && t[at].kind == SqlTokKind::symbol && t[at].text != u";") return nullptr;
    break;
  }
  auto index = std::make_unique<TIndexDef>(UnicodeString(), fields, TIndexOptions{});
  index->SetDescFields(descFields);
  return index;
}

}  // namespace platform
