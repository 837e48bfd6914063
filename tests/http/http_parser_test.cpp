// HTTP head parsing and building: start lines, header lines, queries, incremental feeding, the
// bounds on a head, and the exact bytes of the heads we write.
#include <gtest/gtest.h>

#include <QByteArray>
#include <atomic>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http/HTTPParser.h"
#include "tests/fakes/Bytes.h"

namespace Zarvo {
namespace {

using testing_bytes::hex;
using Params = std::vector<std::pair<QString, QByteArray>>;
using Fields = std::vector<std::pair<QString, QString>>;

qsizetype feed(HTTPParser& parser, const QByteArray& bytes) {
  return parser.parse(bytes.constData(), bytes.size());
}

Params params(const HTTPRequestParser& p) {
  return Params(p.queryParameters().begin(), p.queryParameters().end());
}

Fields fields(const HTTPParser& p) { return Fields(p.fields().begin(), p.fields().end()); }

// ---------------------------------------------------------------------------------------------

struct StartLineCase {
  const char* why;
  QByteArray line;  // without CR LF
  bool ok;
  QString method, path, version;
  Params query;
};

TEST(HTTPRequestParserTest, StartLines) {
  // One row per case reads better than one field per line.
  // clang-format off
  const StartLineCase kCases[] = {
      {"bare command name as path", "GET NSFindService HTTP/1.1", true, "GET", "NSFindService",
       "1.1", {}},
      {"query: '+' is a blank, then %21 is decoded", "POST /a/b?x=1&y=a+b%21 HTTP/1.0", true,
       "POST", "/a/b", "1.0", {{"x", "1"}, {"y", "a b!"}}},
      {"a blank inside the path stays in it", "GET /a b HTTP/1.1", true, "GET", "/a b", "1.1", {}},
      {"Latin-1 letter is part of the method word", "G\xC9T /x HTTP/1.1", true,
       QString::fromLatin1("G\xC9T"), "/x", "1.1", {}},
      {"tab separates like a blank", "GET\t/x\tHTTP/1.1", true, "GET", "/x", "1.1", {}},
      {"multi-digit version", "GET /x HTTP/12.10", true, "GET", "/x", "12.10", {}},
      {"the version dot is any character", "GET /x HTTP/1x1", true, "GET", "/x", "1.1", {}},
      {"empty value, '=' inside a value, duplicates kept in order",
       "GET /x?a=&b=c=d&a=2 HTTP/1.1", true, "GET", "/x", "1.1",
       {{"a", ""}, {"b", "c=d"}, {"a", "2"}}},
      {"percent escapes decode as UTF-8", "GET /x?n=caf%C3%A9 HTTP/1.1", true, "GET", "/x", "1.1",
       {{"n", "caf\xC3\xA9"}}},
      {"a raw Latin-1 byte is stored as UTF-8", "GET /x?n=caf\xE9 HTTP/1.1", true, "GET", "/x",
       "1.1", {{"n", "caf\xC3\xA9"}}},
      {"trailing '&' ends the query", "GET /x?a=1& HTTP/1.1", true, "GET", "/x", "1.1",
       {{"a", "1"}}},
      {"a query that is a single name", "GET /x?flag HTTP/1.1", false, {}, {}, {}, {}},
      {"'?' with nothing after it", "GET /x? HTTP/1.1", false, {}, {}, {}, {}},
      {"no protocol version", "GET /x", false, {}, {}, {}, {}},
      {"a response line is no request", "HTTP/1.1 200 OK", false, {}, {}, {}, {}},
  };
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    HTTPRequestParser p;
    const QByteArray head = c.line + "\r\nContent-Length: 0\r\n\r\n";
    if (!c.ok) {
      EXPECT_THROW((void)feed(p, head), HTTPParser::ParsingError);
      EXPECT_EQ(p.state(), 2);
      continue;
    }
    EXPECT_EQ(feed(p, head), head.size());
    EXPECT_EQ(p.state(), 1);
    EXPECT_EQ(p.method(), c.method);
    EXPECT_EQ(p.path(), c.path);
    EXPECT_EQ(p.version(), c.version);
    EXPECT_EQ(params(p), c.query);
  }
}

struct HeaderLineCase {
  const char* why;
  QByteArray line;
  std::optional<std::pair<QString, QString>> field;  // nullopt: the line is an error
};

TEST(HTTPParserTest, HeaderLines) {
  const HeaderLineCase kCases[] = {
      {"blanks around name and value are trimmed", " Content-Length :  12 ",
       std::pair{QString("Content-Length"), QString("12")}},
      {"the first colon splits, later ones stay in the value", "Host: a:b:c",
       std::pair{QString("Host"), QString("a:b:c")}},
      {"empty value", "X-Empty:", std::pair{QString("X-Empty"), QString()}},
      {"empty name", ": v", std::pair{QString(), QString("v")}},
      {"Latin-1 bytes are one character each", "X-Name: caf\xE9 \xFF",
       std::pair{QString("X-Name"), QString::fromLatin1("caf\xE9 \xFF")}},
      {"a lone LF belongs to the line", "X: a\nb", std::pair{QString("X"), QString("a\nb")}},
      {"a line without colon", "NoColonHere", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    HTTPResponseParser p;
    const QByteArray head = "HTTP/1.1 200 OK\r\n" + c.line + "\r\n\r\n";
    if (!c.field) {
      EXPECT_THROW((void)feed(p, head), HTTPParser::ParsingError);
      EXPECT_EQ(p.state(), 2);
      continue;
    }
    EXPECT_EQ(feed(p, head), head.size());
    EXPECT_EQ(p.state(), 1);
    EXPECT_EQ(fields(p), Fields{*c.field});
  }
}

TEST(HTTPParserTest, LookupIsExactAndTakesTheFirstOfDuplicates) {
  HTTPResponseParser p;
  (void)feed(p, "HTTP/1.1 200 OK\r\nX-A: 1\r\nX-B: 2\r\nX-A: 3\r\n\r\n");
  EXPECT_EQ(fields(p), (Fields{{"X-A", "1"}, {"X-B", "2"}, {"X-A", "3"}}));
  EXPECT_EQ(p.value("X-A"), "1");
  EXPECT_TRUE(p.hasValue("X-B"));
  EXPECT_FALSE(p.hasValue("x-b"));  // names compare case-sensitively
  EXPECT_THROW((void)p.value("x-a"), HTTPParser::InvalidHeader);
}

TEST(HTTPParserTest, ContentLengthReadsAsTheServerDoes) {
  struct Case {
    const char* why;
    const char* field;  // nullptr: no such field
    qint64 expected;
  };
  const Case kCases[] = {
      {"absent", nullptr, -1},
      {"plain number", "Content-Length: 12", 12},
      {"not a number reads as 0", "Content-Length: twelve", 0},
      {"trailing junk reads as 0", "Content-Length: 12x", 0},
      {"negative stays negative for the caller to refuse", "Content-Length: -5", -5},
      {"too long for 64 bits must not read as 0", "Content-Length: 99999999999999999999",
       std::numeric_limits<qint64>::max()},
      {"name is case-sensitive", "content-length: 12", -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    HTTPRequestParser p;
    QByteArray head = "GET X HTTP/1.1\r\n";
    if (c.field) head += QByteArray(c.field) + "\r\n";
    (void)feed(p, head + "\r\n");
    EXPECT_EQ(contentLength(p), c.expected);
  }
}

// ---------------------------------------------------------------------------------------------
// Incremental feeding

const QByteArray kHead =
    "POST /a/b?x=1&y=a+b%21 HTTP/1.0\r\nHost: h:80\r\n Content-Length :  5 \r\nX: a\nb\r\n\r\n";
const QByteArray kBody = "<a/>\r";

TEST(HTTPParserTest, EverySplitPointGivesTheSameHead) {
  const QByteArray stream = kHead + kBody;
  for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    HTTPRequestParser p;
    const qsizetype first = p.parse(stream.constData(), cut);
    EXPECT_EQ(first, std::min(cut, kHead.size()));
    const qsizetype second = p.parse(stream.constData() + cut, stream.size() - cut);
    EXPECT_EQ(first + second, kHead.size()) << "the body's bytes are not the head's";
    EXPECT_EQ(p.state(), 1);
    EXPECT_EQ(p.path(), "/a/b");
    EXPECT_EQ(params(p), (Params{{"x", "1"}, {"y", "a b!"}}));
    EXPECT_EQ(fields(p), (Fields{{"Host", "h:80"}, {"Content-Length", "5"}, {"X", "a\nb"}}));
  }
}

TEST(HTTPParserTest, ConnectionThreadsParseAtTheSameTime) {
  // Every connection thread shares the compiled patterns.
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&wrong] {
      for (int i = 0; i < 200; ++i) {
        HTTPRequestParser p;
        if (p.parse(kHead.constData(), kHead.size()) != kHead.size() || p.state() != 1 ||
            p.queryParameters().size() != 2 || p.value("Host") != "h:80") {
          ++wrong;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(HTTPParserTest, ResponseStatusLineIsNotExamined) {
  HTTPResponseParser p;
  const QByteArray stream = "whatever the peer says\r\nContent-Length:3\r\n\r\nabc";
  EXPECT_EQ(feed(p, stream), stream.size() - 3);
  EXPECT_EQ(p.state(), 1);
  EXPECT_EQ(contentLength(p), 3);
}

TEST(HTTPParserTest, AFailedParserTakesNothingMore) {
  HTTPRequestParser p;
  EXPECT_THROW((void)feed(p, "GET /x HTTP/1.1\r\nbroken\r\n"), HTTPParser::ParsingError);
  EXPECT_EQ(feed(p, "\r\n"), 0);
  EXPECT_EQ(p.state(), 2);
}

// ---------------------------------------------------------------------------------------------
// Limits

TEST(HTTPParserLimitsTest, LineLimitIsExactAndHoldsWithoutALineEnd) {
  HTTPParser::Limits small;
  small.maxLineLength = 20;
  const QByteArray atLimit = "GET /" + QByteArray(6, 'a') + " HTTP/1.1";  // 20 bytes
  ASSERT_EQ(atLimit.size(), 20);
  {
    SCOPED_TRACE("a line of exactly the limit is fine");
    HTTPRequestParser p(small);
    (void)feed(p, atLimit + "\r\nX:" + QByteArray(18, 'v') + "\r\n\r\n");
    EXPECT_EQ(p.state(), 1);
  }
  {
    SCOPED_TRACE("one byte more fails, also in a header line");
    HTTPRequestParser p(small);
    EXPECT_THROW((void)feed(p, atLimit + "\r\nX:" + QByteArray(19, 'v') + "\r\n\r\n"),
                 HTTPParser::ParsingError);
    EXPECT_EQ(p.state(), 2);
  }
  {
    SCOPED_TRACE("byte by byte, it fails as soon as no CR LF can end the line in time");
    HTTPRequestParser p(small);
    const QByteArray endless(100, 'a');
    qsizetype fed = 0;
    EXPECT_THROW(
        {
          while (fed < endless.size()) (void)p.parse(endless.constData() + fed++, 1);
        },
        HTTPParser::ParsingError);
    EXPECT_EQ(fed, 22);  // 21 bytes could still be 20 plus a CR
  }
}

TEST(HTTPParserLimitsTest, DefaultLimitsRefuseAMebibyteWithoutLineEnd) {
  HTTPRequestParser p;
  const QByteArray chunk(4096, 'a');
  qsizetype fed = 0;
  try {
    while (fed < 1024 * 1024) {
      fed += chunk.size();
      (void)p.parse(chunk.constData(), chunk.size());
    }
    FAIL() << "a 1 MiB line was accepted";
  } catch (const HTTPParser::ParsingError&) {
  }
  EXPECT_LE(fed, 8 * 1024 + 2 + chunk.size());
  EXPECT_EQ(p.state(), 2);
}

TEST(HTTPParserLimitsTest, HeadAndFieldLimits) {
  struct Case {
    const char* why;
    int fieldCount;
    int valueLength;
    bool ok;
  };
  // Each field line is "F:" + value + CR LF; the start line "GET X HTTP/1.1\r\n" is 16 bytes and
  // the empty line 2.
  const Case kCases[] = {
      {"100 fields are allowed", 100, 1, true},
      {"the 101st field is refused", 101, 1, false},
      {"a head just under 64 KiB", 100, 650, true},  // 65 418 bytes
      {"a head just over 64 KiB", 100, 656, false},  // 66 018 bytes
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    QByteArray head = "GET X HTTP/1.1\r\n";
    for (int i = 0; i < c.fieldCount; ++i) head += "F:" + QByteArray(c.valueLength, 'v') + "\r\n";
    head += "\r\n";
    HTTPRequestParser p;
    if (c.ok) {
      EXPECT_EQ(feed(p, head), head.size());
      EXPECT_EQ(p.state(), 1);
      EXPECT_EQ(p.fields().size(), c.fieldCount);
    } else {
      EXPECT_THROW((void)feed(p, head), HTTPParser::ParsingError);
      EXPECT_EQ(p.state(), 2);
    }
  }
}

TEST(HTTPParserLimitsTest, HeadLimitCountsEveryByteUpToTheEmptyLine) {
  HTTPParser::Limits small;
  const QByteArray head = "GET X HTTP/1.1\r\nA:\r\n\r\n";  // 22 bytes
  {
    SCOPED_TRACE("exactly the limit");
    small.maxHeadLength = head.size();
    HTTPRequestParser p(small);
    EXPECT_EQ(feed(p, head + "body"), head.size());
    EXPECT_EQ(p.state(), 1);
  }
  {
    SCOPED_TRACE("the final CR LF is one byte too many");
    small.maxHeadLength = head.size() - 1;
    HTTPRequestParser p(small);
    EXPECT_THROW((void)feed(p, head), HTTPParser::ParsingError);
  }
}

// ---------------------------------------------------------------------------------------------
// Builders

TEST(HTTPHeaderTest, BytesOnTheWire) {
  struct Case {
    const char* why;
    HTTPHeader head;
    QByteArray wire;
  };
  HTTPRequestHeader request("GET", "OrxGetVersion");
  request.setValue(kContentLength, "5");
  HTTPResponseHeader ok(200, "OK");
  ok.setValue(kContentLength, "10");
  ok.setValue(kContentLength, "11");
  HTTPResponseHeader latin(200, QString::fromLatin1("caf\xE9") + QChar(0x20AC));
  const Case kCases[] = {
      {"a 400 answer has no fields", HTTPResponseHeader(400, "Bad request"),
       "HTTP/1.1 400 Bad request\r\n\r\n"},
      {"no blank after the colon", request,
       "GET OrxGetVersion HTTP/1.1\r\nContent-Length:5\r\n\r\n"},
      {"fields in the order set, duplicates kept", ok,
       "HTTP/1.1 200 OK\r\nContent-Length:10\r\nContent-Length:11\r\n\r\n"},
      {"Latin-1 as one byte, the rest as '?'", latin, "HTTP/1.1 200 caf\xE9?\r\n\r\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(hex(c.head.toByteArray()), hex(c.wire));
  }
}

}  // namespace

}  // namespace Zarvo
