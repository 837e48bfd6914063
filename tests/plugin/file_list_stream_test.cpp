// The SNMP service's answer read as a stream into the file list's rows, held against reading the
// same bytes into a tree (CmdSNMPGetValuesResponse) and walking its table (appendFileStorage):
// for every answer both must give the same rows, result and details, or fail with the same
// message. Hand-picked answers for each reading rule, then generated ones that mix every kind of
// node at random.
#include <gtest/gtest.h>

#include <QRandomGenerator>
#include <QStringList>
#include <optional>

#include "plugin/DeviceFileList.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/plugin/ListedFiles.h"

namespace Zarvo::dsm {
namespace {

using Rows = DSMGetFileList_Response::c_OrxResponse;

struct Outcome {
  std::optional<QString> error;  // the WrongPacketFormat message
  int result = 0;
  QString details;
  QStringList rows;  // "index|name|size|type|persistence|id" per FileStorage
};

Outcome throughTheTree(const QByteArray& bytes) {
  Outcome o;
  CmdSNMPGetValuesResponse answer;
  try {
    answer.fromByteArray(bytes);
  } catch (const Zarvo::WrongPacketFormat& e) {
    o.error = e.message();
    return o;
  }
  o.result = answer.result();
  o.details = answer.details();
  Rows rows;
  for (deviceRes* d = answer.firstDevice(); d; d = answer.nextDevice()) appendFileStorage(*d, rows);
  o.rows = listedFiles(rows);
  return o;
}

Outcome asAStream(const QByteArray& bytes) {
  Outcome o;
  FileStorageRows read;
  try {
    const AnswerResult r = readFileStorageAnswer(bytes, read);
    o.result = r.result;
    o.details = r.details;
  } catch (const Zarvo::WrongPacketFormat& e) {
    o.error = e.message();
    return o;
  }
  Rows rows;
  read.appendTo(rows);
  EXPECT_EQ(rows.size_FileStorage(), read.size());
  o.rows = listedFiles(rows);
  return o;
}

void expectSame(const QByteArray& bytes, const Outcome& tree, const Outcome& stream) {
  const std::string doc =
      bytes.startsWith("<")
          ? bytes.toStdString()
          : QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()),
                               bytes.size() / 2)
                .toStdString();
  EXPECT_EQ(stream.error.value_or("-").toStdString(), tree.error.value_or("-").toStdString())
      << doc;
  EXPECT_EQ(stream.result, tree.result) << doc;
  EXPECT_EQ(stream.details.toStdString(), tree.details.toStdString()) << doc;
  EXPECT_EQ(stream.rows.join("\n").toStdString(), tree.rows.join("\n").toStdString()) << doc;
}

const QString kDeclaration = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?>");
const QString kHead = QStringLiteral("<OrxResponse><Result>0</Result><Details>OK</Details>");
const QString kParams = QStringLiteral(
    "<ResponseParams><IP address=\"10.0.0.5\"/><Errors Count=\"0\"/></ResponseParams>");
// A row of the table: (column, value) pairs.
QString row(const QList<QPair<QString, QString>>& cells,
            const QString& tag = "scmFileStorageTabl") {
  QString out = "<" + tag + ">";
  for (const auto& [column, value] : cells) out += "<" + column + ">" + value + "</" + column + ">";
  return out + "</" + tag + ">";
}
QString table(const QStringList& rows) {
  return "<scmFileStorageTable>" + rows.join("") + "</scmFileStorageTable>";
}
QString device(const QString& params, const QString& variables) {
  return "<Device>" + params + "<ResponseVariables>" + variables + "</ResponseVariables></Device>";
}
const QString kRow1 = row({{"scmFileStorageFileIndex", "1"},
                           {"scmFileStorageFileName", "Courier"},
                           {"scmFileStorageFileSize", "1024"},
                           {"scmFileStorageFileType", "pclFont"},
                           {"scmFileStorageFilePersistence", "permanent"},
                           {"scmFileStorageFileID", "12"}});
const QString kRow2 = row({{"scmFileStorageFileIndex", "2"},
                           {"scmFileStorageFileName", "Logo"},
                           {"scmFileStorageFileSize", "12a"},
                           {"scmFileStorageFileType", "pclMacro"},
                           {"scmFileStorageFilePersistence", "volatile"},
                           {"scmFileStorageFileID", "4294967296"}});

TEST(FileListStream, ReadsEveryAnswerAsTheTreeReaderDoes) {
  struct Case {
    const char* why;
    QString body;  // the root's content after Result and Details, or a whole document ("<?")
  };
  const Case kCases[] = {
      {"two rows of every column", device(kParams, table({kRow1, kRow2}))},
      {"the variables before the parameters: held until the device ends",
       "<Device><ResponseVariables>" + table({kRow1}) + "</ResponseVariables>" + kParams +
           "</Device>"},
      {"no parameters: the device adds nothing",
       "<Device><ResponseVariables>" + table({kRow1}) + "</ResponseVariables></Device>"},
      {"an error count",
       device("<ResponseParams><Errors Count=\"2\"/></ResponseParams>", table({kRow1}))},
      {"an error count that is no number, or too large for an int, counts as none",
       device("<ResponseParams><Errors Count=\"x\"/></ResponseParams>", table({kRow1})) +
           device("<ResponseParams><Errors Count=\"4294967296\"/></ResponseParams>",
                  table({kRow2}))},
      {"an error message; one without text (or only CDATA) is no error",
       device("<ResponseParams><Errors><Error Code=\"1\">busy</Error></Errors></ResponseParams>",
              table({kRow1})) +
           device("<ResponseParams><Errors><Error Code=\"1\"/><Error><![CDATA[x]]></Error>"
                  "</Errors></ResponseParams>",
                  table({kRow2}))},
      {"elements before the first Error do not count, any after it do",
       device("<ResponseParams><Errors><Note>x</Note><Error/></Errors></ResponseParams>",
              table({kRow1})) +
           device("<ResponseParams><Errors><Error/><Note> </Note></Errors></ResponseParams>",
                  table({kRow2}))},
      {"only the first parameters, errors and variables count",
       "<Device>" + kParams + "<ResponseParams><Errors Count=\"1\"/></ResponseParams>" +
           "<ResponseVariables>" + table({kRow1}) + "</ResponseVariables><ResponseVariables>" +
           table({kRow2}) + "</ResponseVariables></Device>" +
           device("<ResponseParams><Errors/><Errors Count=\"3\"/></ResponseParams>",
                  table({kRow2}))},
      {"the first row fixes the columns; rows match by position; later columns extend",
       device(kParams,
              table({row({{"scmFileStorageFileIndex", "1"}, {"scmFileStorageFileName", "a"}}),
                     row({{"scmFileStorageFileName", "b"}, {"scmFileStorageFileSize", "5"}}),
                     row({{"scmFileStorageFileName", "c"}}, "other")}))},
      {"an unmapped first column still counts the rows",
       device(kParams,
              table({row({{"x", "1"}, {"scmFileStorageFileSize", "+7"}}), row({{"x", "2"}}),
                     row({{"x", "3"}, {"scmFileStorageFileSize", "-1"}})}))},
      {"a repeated column: the first of its name takes the cells, the last cell wins",
       device(kParams,
              table({row({{"scmFileStorageFileName", "a"}, {"scmFileStorageFileName", "b"}}),
                     row({{"scmFileStorageFileName", "c"}})}))},
      {"a second table element adds columns and writes over the rows",
       device(kParams, table({row({{"scmFileStorageFileName", "a"}}), kRow2}) +
                           table({row({{"scmFileStorageFileID", "9"}})}))},
      {"a table without rows is a scalar; other tables and scalars are not ours",
       device(kParams,
              "<scmFileStorageTable>  </scmFileStorageTable><sysName>p</sysName>"
              "<other><r><scmFileStorageFileName>z</scmFileStorageFileName></r></other>")},
      {"a table whose first row has no cells has no columns",
       device(kParams, table({"<r/>", kRow1}))},
      {"cells: CDATA is no text; the first text node counts; references and blanks",
       device(kParams, table({row({{"scmFileStorageFileName", "<![CDATA[c]]>"},
                                   {"scmFileStorageFileType", "<!--c-->t<?p?>u"},
                                   {"scmFileStorageFilePersistence", "a&amp;b&#65; "},
                                   {"scmFileStorageFileSize", " 5 "},
                                   {"scmFileStorageFileID", "<b/>7"}})}))},
      {"devices in order; one with an error between",
       device(kParams, table({kRow1})) +
           device("<ResponseParams><Errors Count=\"1\"/></ResponseParams>", table({kRow2})) +
           device(kParams, table({kRow2}))},
      {"a Device that is no child of the root is not read",
       "<Wrapper>" + device(kParams, table({kRow1})) + "</Wrapper>"},
      {"a second Result: neither counts", "<Result>5</Result>"},
      {"a whole document: result and details in any place, text content",
       kDeclaration + "<OrxResponse>" + device(kParams, table({kRow1})) +
           "<Details>a<b>b</b><![CDATA[c]]></Details><Result> 3 </Result></OrxResponse>"},
      {"a whole document without result or details", kDeclaration + "<OrxResponse/>"},
      {"entities: an element from an entity hangs under the reference, not the element",
       kDeclaration +
           "<!DOCTYPE OrxResponse [<!ENTITY n "
           "\"<scmFileStorageFileName>E</scmFileStorageFileName>\">"
           "<!ENTITY t \"text\"><!ENTITY d \"" +
           QString(device(kParams, table({kRow2}))).replace("\"", "&#34;") + "\">]>" + kHead +
           device(kParams, table({row({{"scmFileStorageFileIndex", "1"},
                                       {"scmFileStorageFileType", "a&t;b"}}) +
                                  "<scmFileStorageTabl>&n;<scmFileStorageFileIndex>&t;</"
                                  "scmFileStorageFileIndex></scmFileStorageTabl>"})) +
           "&d;<Details>&t;</Details></OrxResponse>"},
      // Not answers at all.
      {"cut short", kDeclaration + kHead + "<Device><ResponseParams>"},
      {"another root", kDeclaration + "<html><body>busy</body></html>"},
      {"nothing", "<?"},
      {"bytes after the root", kDeclaration + kHead + "</OrxResponse><x/>"},
      {"an external entity is never fetched",
       kDeclaration + "<!DOCTYPE OrxResponse [<!ENTITY x SYSTEM \"file:///etc/hostname\">]>" +
           kHead + "<Details>&x;</Details></OrxResponse>"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const QString document = c.body.startsWith("<?")
                                 ? (c.body == "<?" ? QString() : c.body)
                                 : kDeclaration + kHead + c.body + "</OrxResponse>";
    const QByteArray bytes = testing_suite::utf16Le(document);
    const Outcome tree = throughTheTree(bytes);
    expectSame(bytes, tree, asAStream(bytes));
  }
  // UTF-8 bytes read alike, and a well-formed answer gives the rows the tree does.
  const QByteArray utf8 =
      (kHead + device(kParams, table({kRow1, kRow2})) + "</OrxResponse>").toUtf8();
  const Outcome tree = throughTheTree(utf8);
  EXPECT_EQ(tree.rows.size(), 2);
  expectSame(utf8, tree, asAStream(utf8));
}

// ---------------------------------------------------------------------------------------------
// Generated answers

// Random answers mixing every node the readers meet: entities, errors in every form, rows of any
// tag and column, cells of text, CDATA, comments, PIs and elements, known names out of place.
class Generator {
 public:
  explicit Generator(quint32 seed) : random_(seed) {}

  QString document() {
    QString out = kDeclaration;
    if ((entities_ = chance(4))) {
      out +=
          "<!DOCTYPE OrxResponse [<!ENTITY t \"txt\"><!ENTITY c "
          "\"<scmFileStorageFileName>N</scmFileStorageFileName>\"><!ENTITY r "
          "\"<R><scmFileStorageFileIndex>9</scmFileStorageFileIndex></R>\">]>";
    }
    out += "<OrxResponse>";
    if (!chance(8)) out += element("Result", pick(kTexts));
    if (!chance(8)) out += element("Details", pick(kTexts));
    out += repeat(4, [&] { return device(); });
    if (chance(6)) out += stray(2);
    return out + "</OrxResponse>";
  }

 private:
  bool chance(int oneIn) { return random_.bounded(oneIn) == 0; }
  QString pick(const QStringList& from) { return from[int(random_.bounded(int(from.size())))]; }
  static QString element(const QString& name, const QString& content) {
    return "<" + name + ">" + content + "</" + name + ">";
  }
  // Below `bound` parts, joined.
  template <class Part>
  QString repeat(int bound, Part part) {
    QString out;
    for (int n = int(random_.bounded(bound)); n > 0; --n) out += part();
    return out;
  }

  QString device() {
    QStringList parts;
    if (!chance(6)) {
      parts << element("ResponseParams",
                       "<IP address=\"10.0.0.5\"/>" + (chance(3) ? QString() : errors()));
    }
    if (!chance(8)) {
      parts << element("ResponseVariables", variable() + repeat(3, [&] { return variable(); }));
    }
    if (chance(5)) parts << stray(2);
    if (chance(2)) std::reverse(parts.begin(), parts.end());
    return element("Device", parts.join(""));
  }
  QString errors() {
    const QString open =
        chance(2) ? "<Errors Count=\"" + pick({"0", "0", "1", "x", "", " 2 "}) + "\">" : "<Errors>";
    return open +
           repeat(3,
                  [&] {
                    const QString name = pick({"Error", "Error", "Note"});
                    return "<" + name + " Code=\"" + QString::number(random_.bounded(5)) + "\">" +
                           pick({"", "", "msg", " ", "<![CDATA[m]]>", "<!--c-->"}) + "</" + name +
                           ">";
                  }) +
           "</Errors>";
  }
  QString variable() {
    if (chance(4)) return element("sysName", pick(kTexts));
    const QString table = chance(6) ? "other" : "scmFileStorageTable";
    return element(table, repeat(4, [&] {
                     if (entities_ && chance(8)) return QString("&r;");
                     const QString tag = chance(5) ? "x" : "scmFileStorageTabl";
                     return element(tag, repeat(5, [&] {
                                      if (entities_ && chance(10)) return QString("&c;");
                                      const QString column = pick(kColumns);
                                      return element(column, repeat(3, [&] { return piece(); }));
                                    }));
                   }));
  }
  QString piece() {
    const QString text = pick(kTexts);
    const QString kinds[] = {text,       text,       "<![CDATA[" + text + "]]>",
                             "<!--n-->", "<?pi x?>", "<b>" + text + "</b>",
                             "&t;"};
    return kinds[random_.bounded(entities_ ? 7 : 6)];
  }
  QString stray(int depth) {
    if (depth == 0) return pick(kTexts);
    const QString name = pick({"Device", "ResponseParams", "ResponseVariables", "Errors", "Error",
                               "Result", "Details", "scmFileStorageTable", "y"});
    return element(name, stray(depth - 1));
  }

  const QStringList kTexts = {"",    "1",          "42",      " 7 ",     "-1",    "+3",
                              "12a", "4294967296", "Courier", "a&amp;b", "&#65;", " "};
  const QStringList kColumns = {"scmFileStorageFileIndex",
                                "scmFileStorageFileName",
                                "scmFileStorageFileSize",
                                "scmFileStorageFileType",
                                "scmFileStorageFilePersistence",
                                "scmFileStorageFileID",
                                "x",
                                "scmFileStorageFileName"};
  QRandomGenerator random_;
  bool entities_ = false;
};

TEST(FileListStream, GeneratedAnswersReadAsTheTreeReaderReadsThem) {
  int withRows = 0;
  for (quint32 seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE(seed);
    const QByteArray bytes = testing_suite::utf16Le(Generator(seed).document());
    const Outcome tree = throughTheTree(bytes);
    if (!tree.rows.isEmpty()) ++withRows;
    expectSame(bytes, tree, asAStream(bytes));
    if (HasFailure()) break;  // one document to look at is enough
  }
  EXPECT_GT(withRows, 50) << "the generator must reach the rows, not only the rules around them";
}

}  // namespace
}  // namespace Zarvo::dsm
