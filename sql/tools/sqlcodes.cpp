// sqlcodes: prints the record of choice codes of an SQL text and its replay
// as an indented tree, or the syntax error message.
//   sqlcodes 'SELECT * FROM t'     (or the text on standard input)
//   sqlcodes -r DataType 'DOUBLE PRECISION'   (one rule alone)
#include <cstdio>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

#include "nxSQLLibrary.h"
#include "nxSQLParse.h"
#include "nxSQLTok.h"
#include "nxllException.h"

int main(int argc, char** argv) {
  std::string rule = "Script";
  int arg = 1;
  if (argc > 2 && std::string(argv[1]) == "-r") {
    rule = argv[2];
    arg = 3;
  }
  std::string text;
  if (arg < argc) {
    for (int i = arg; i < argc; ++i) {
      if (i > arg) text.push_back(' ');
      text.append(argv[i]);
    }
  } else {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  int rc = 0;
  nxSQLLibraryInitialize();
  try {
    const nxString source = platform::fromUtf8(text);
    TnxOwned<TnxSQLTokenizer> tokenizer(platform::create<TnxSQLTokenizer>());
    TTokenListPtr tokens;
    if (!tokenizer->Tokenize(source.data(), std::int32_t(source.size()), false, false, tokens)) {
      const std::int32_t last = tokens ? tokens->TokenCount() - 1 : -1;
      std::printf("Invalid token: error at line %d pos %d\n", last >= 0 ? tokens->GetTokenEndLine(last) : 1,
                  last >= 0 ? tokens->GetTokenEndPos(last) : 1);
      rc = 1;
    } else {
      TnxOwned<TnxSQLParser> parser(platform::create<TnxSQLParser>(tokens.get()));
      if (parser->ParseRule(rule)) {
        parser->DumpCodes();
        std::fputs(nxSqlCodeTrace(*parser).c_str(), stdout);
      } else {
        std::printf("%s\n", platform::toUtf8(nxSqlSyntaxErrorMessage(*parser, true)).c_str());
        rc = 1;
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    rc = 2;
  }
  nxSQLLibraryFinalize();
  return rc;
}
