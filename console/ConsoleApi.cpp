#include "console/ConsoleApi.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSet>
#include <algorithm>
#include <array>
#include <functional>
#include <limits>

#include "framework/Log.h"

namespace Zarvo::console {

namespace {

const QStringList kKinds = {QStringLiteral("psFont"), QStringLiteral("psForm"),
                            QStringLiteral("pclFont"), QStringLiteral("pclMacro")};
const QStringList kStatuses = {QStringLiteral("IN_PROGRESS"), QStringLiteral("COMPLETED"),
                               QStringLiteral("FAILED"), QStringLiteral("CANCELED")};
constexpr int kMaxItems = 1000;  // files or printers named in one request

ApiError badRequest(const QString& code, const QString& message) {
  return ApiError(400, code, message);
}

QByteArray json(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonValue orNull(const QString& text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); }

// A decimal ID in a path: 0 to 2^31-1, the range the storage manager and the device management
// service number things in.
quint32 idFrom(const QString& text, const char* what) {
  bool ok = false;
  const uint id = text.toUInt(&ok);
  if (!ok || text.isEmpty() || !text.at(0).isDigit() ||
      id > uint(std::numeric_limits<qint32>::max()))
    throw badRequest(QStringLiteral("BadId"),
                     QStringLiteral("%1 is not %2 ID").arg(text.left(40), QLatin1String(what)));
  return id;
}

QJsonObject deviceJson(const Device& d) {
  return QJsonObject{{"id", qint64(d.id)},
                     {"name", d.name},
                     {"model", d.model},
                     {"address", d.address},
                     {"reachable", d.reachable ? QJsonValue(*d.reachable) : QJsonValue()}};
}

QJsonObject operationJson(const Operation& o) {
  return QJsonObject{
      {"id", qint64(o.id)},         {"type", o.type},
      {"status", o.status},         {"progress", qint64(o.progress)},
      {"source", orNull(o.source)}, {"destinations", QJsonArray::fromStringList(o.destinations)}};
}

// Operations by status, in the order of kStatuses.
struct StatusCounts {
  std::array<qint64, 4> n{};
  void add(const QString& status) {
    const qsizetype at = kStatuses.indexOf(status);
    if (at >= 0) ++n[std::size_t(at)];
  }
  QJsonObject json() const {
    QJsonObject o;
    for (std::size_t i = 0; i < n.size(); ++i) o.insert(kStatuses[qsizetype(i)], n[i]);
    return o;
  }
};

// A JSON string, appended. The operation list is written by hand: built as QJson objects, ten
// thousand operations cost the console more than the storage manager's own answer.
void appendJsonString(QByteArray& out, const QString& text) {
  out += '"';
  for (const char c : text.toUtf8()) {  // bytes of multi-byte characters are 0x80 and up
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += "\\u00";
      out += "0123456789abcdef"[(c >> 4) & 15];
      out += "0123456789abcdef"[c & 15];
    } else {
      out += c;
    }
  }
  out += '"';
}

void appendOperation(QByteArray& out, const Operation& o) {
  out += "{\"id\":";
  out += QByteArray::number(o.id);
  out += ",\"type\":";
  appendJsonString(out, o.type);
  out += ",\"status\":";
  appendJsonString(out, o.status);
  out += ",\"progress\":";
  out += QByteArray::number(o.progress);
  out += ",\"source\":";
  if (o.source.isEmpty()) {
    out += "null";
  } else {
    appendJsonString(out, o.source);
  }
  out += ",\"destinations\":[";
  for (qsizetype i = 0; i < o.destinations.size(); ++i) {
    if (i) out += ',';
    appendJsonString(out, o.destinations[i]);
  }
  out += "]}";
}

QString isoUtc(quint32 seconds) {
  return QDateTime::fromSecsSinceEpoch(qint64(seconds), Qt::UTC).toString(Qt::ISODate);
}

// A text of the JSON body that names a file: no control characters (it travels inside a
// printer command), not empty, not absurdly long.
QString fileNameField(const QJsonValue& value) {
  const QString name = value.toString();
  const bool control = std::any_of(name.begin(), name.end(), [](QChar c) {
    return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
  });
  if (!value.isString() || name.isEmpty() || name.size() > 200 || control)
    throw badRequest(QStringLiteral("BadFile"),
                     QStringLiteral("a file name must be a text of 1 to 200 characters "
                                    "without control characters"));
  return name;
}

QJsonArray arrayField(const QJsonObject& body, const char* name, bool required) {
  const QJsonValue value = body.value(QLatin1String(name));
  if (value.isUndefined() && !required) return QJsonArray();
  if (!value.isArray() || value.toArray().isEmpty() || value.toArray().size() > kMaxItems)
    throw badRequest(QStringLiteral("BadField"),
                     QStringLiteral("\"%1\" must be a list of 1 to %2 entries")
                         .arg(QLatin1String(name))
                         .arg(kMaxItems));
  return value.toArray();
}

// What one command created, to be found in the list afterwards.
struct Expected {
  QString type;
  QString source;
  QStringList destinations;
  std::function<void()> send;
  std::optional<quint32> id;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Errors and plain words

ApiReply ConsoleApi::errorReply(const ApiError& error) {
  QJsonObject e{{"code", error.code()}, {"message", error.message()}};
  if (!error.details().isEmpty()) e.insert("details", error.details());
  return ApiReply{error.status(), json(QJsonObject{{"error", e}})};
}

ApiError ConsoleApi::serviceError(const ServiceFailure& f) {
  const QString& s = f.service();
  QString words;
  switch (f.result()) {
    case 1:
      words = QStringLiteral("the %1 service could not be reached").arg(s);
      break;
    case 2:
      words = QStringLiteral("no %1 service is known to the naming service").arg(s);
      break;
    case 3:
      words = QStringLiteral("the %1 service did not understand the request").arg(s);
      break;
    case 4:
      words = QStringLiteral("the %1 service's answer could not be read").arg(s);
      break;
    case 5:
      words = QStringLiteral("the %1 service is stopping").arg(s);
      break;
    case 6:
      words = QStringLiteral("the exchange with the %1 service broke off").arg(s);
      break;
    case -1:
      words = QStringLiteral("the %1 service failed while handling the request").arg(s);
      break;
    default:
      words = QStringLiteral("the %1 service reported a failure").arg(s);
  }
  return ApiError(f.result() == 5 ? 503 : 502, QString::number(f.result()), words, f.details());
}

QString ConsoleApi::plainFileResult(const QString& type, const OperationFile& file, bool finished) {
  const QString& r = file.result;
  if (file.succeeded) {
    return type == QLatin1String("DELETE") ? QStringLiteral("deleted from the printer")
                                           : QStringLiteral("stored on the printer");
  }
  // A file no run has reached yet is shown unsucceeded beside "completed".
  if (r == QLatin1String("completed"))
    return finished ? QStringLiteral("not done") : QStringLiteral("waiting");
  if (r == QLatin1String("DeviceDosntResponse"))
    return QStringLiteral("the printer did not respond");
  if (r == QLatin1String("Timeout")) return QStringLiteral("no confirmation within 5 minutes");
  if (r == QLatin1String("UnknownFileType"))
    return QStringLiteral("not a kind of file a printer stores");
  return QStringLiteral("the printer reported a failure");
}

// ---------------------------------------------------------------------------------------------
// Routing

ApiReply ConsoleApi::handle(const ApiRequest& request) {
  try {
    return route(request);
  } catch (const ApiError& e) {
    return errorReply(e);
  } catch (const ServiceFailure& f) {
    return errorReply(serviceError(f));
  } catch (const std::exception& e) {
    ZLOG("err") << "Console request " << request.method << " "
                << request.segments.join(QLatin1Char('/')) << " failed: " << e.what();
    return errorReply(ApiError(500, QStringLiteral("Internal"),
                               QStringLiteral("the console failed while handling the request")));
  }
}

ApiReply ConsoleApi::route(const ApiRequest& r) {
  const QStringList& p = r.segments;
  const QByteArray& m = r.method;
  const auto reply = [](const QJsonObject& o, int status = 200) {
    return ApiReply{status, json(o)};
  };
  const auto methods = [&](const char* allowed) {
    return ApiError(405, QStringLiteral("BadMethod"),
                    QStringLiteral("%1 is not allowed here (%2)")
                        .arg(QString::fromLatin1(m), QLatin1String(allowed)));
  };
  if (p.size() < 2 || p[0] != QLatin1String("api"))
    throw ApiError(404, QStringLiteral("NoSuchPath"), QStringLiteral("there is nothing here"));
  const QString& area = p[1];

  if (area == QLatin1String("devices") && p.size() == 2) {
    if (m != "GET") throw methods("GET");
    return reply(devices());
  }
  if (area == QLatin1String("devices") && p.size() == 4 && p[3] == QLatin1String("files")) {
    if (m != "GET") throw methods("GET");
    return reply(deviceFiles(p[2]));
  }
  if (area == QLatin1String("store") && p.size() == 2) {
    if (m != "GET") throw methods("GET, POST");  // POST streams through the upload
    return reply(store());
  }
  if (area == QLatin1String("store") && p.size() == 3) {
    if (m != "DELETE") throw methods("DELETE");
    guard_.checkChange(r, false);
    return reply(removeStored(p[2]));
  }
  if (area == QLatin1String("operations") && p.size() == 2) {
    if (m == "GET") return ApiReply{200, operations(r)};
    if (m != "POST") throw methods("GET, POST");
    guard_.checkChange(r, true);
    return reply(createOperations(r.body), 202);
  }
  if (area == QLatin1String("operations") && p.size() == 3 && p[2] == QLatin1String("clear")) {
    if (m != "POST") throw methods("POST");
    guard_.checkChange(r, false);
    return reply(clear());
  }
  if (area == QLatin1String("operations") && p.size() == 3) {
    if (m != "GET") throw methods("GET");
    return reply(operation(p[2]));
  }
  if (area == QLatin1String("operations") && p.size() == 4 &&
      (p[3] == QLatin1String("cancel") || p[3] == QLatin1String("retry"))) {
    if (m != "POST") throw methods("POST");
    guard_.checkChange(r, false);
    return reply(p[3] == QLatin1String("cancel") ? cancel(p[2]) : retry(p[2]), 202);
  }
  throw ApiError(404, QStringLiteral("NoSuchPath"), QStringLiteral("there is nothing here"));
}

// ---------------------------------------------------------------------------------------------
// Devices and the store

QJsonObject ConsoleApi::devices() {
  QList<Device> fleet = services_.devices();
  std::sort(fleet.begin(), fleet.end(),
            [](const Device& a, const Device& b) { return a.id < b.id; });
  QJsonArray list;
  for (const Device& d : fleet) list.append(deviceJson(d));
  return QJsonObject{{"devices", list}};
}

QJsonObject ConsoleApi::deviceFiles(const QString& idText) {
  const quint32 id = idFrom(idText, "a printer");
  const QList<Device> fleet = services_.devices();
  const auto it =
      std::find_if(fleet.begin(), fleet.end(), [&](const Device& d) { return d.id == id; });
  if (it == fleet.end())
    throw ApiError(404, QStringLiteral("UnknownDevice"),
                   QStringLiteral("there is no printer %1").arg(id));
  QList<DeviceFile> files = services_.deviceFiles(id);
  std::sort(files.begin(), files.end(),
            [](const DeviceFile& a, const DeviceFile& b) { return a.name < b.name; });
  QJsonArray list;
  for (const DeviceFile& f : files) {
    list.append(QJsonObject{{"index", qint64(f.index)},
                            {"name", f.name},
                            {"size", qint64(f.size)},
                            {"kind", f.kind},
                            {"persistence", f.persistence},
                            {"id", qint64(f.id)}});
  }
  return QJsonObject{{"device", deviceJson(*it)}, {"files", list}};
}

QJsonObject ConsoleApi::store() {
  QList<StoredFile> files = services_.storedFiles();
  std::sort(files.begin(), files.end(),
            [](const StoredFile& a, const StoredFile& b) { return a.name < b.name; });
  QJsonArray list;
  for (const StoredFile& f : files) {
    list.append(QJsonObject{{"name", f.name},
                            {"size", qint64(f.size)},
                            {"kind", f.kind},
                            {"id", orNull(f.id)},
                            {"date", isoUtc(f.date)}});
  }
  return QJsonObject{{"files", list}};
}

ApiReply ConsoleApi::store(std::vector<Upload>& uploads) {
  try {
    if (uploads.empty())
      throw badRequest(
          QStringLiteral("NoFile"),
          QStringLiteral("the upload holds no file (send it as the form field \"file\")"));
    std::lock_guard<std::mutex> lock(storeMutex_);
    QSet<QString> taken;
    for (const StoredFile& f : services_.storedFiles()) taken.insert(f.name);
    for (const Upload& u : uploads) {
      if (taken.contains(u.name))
        throw ApiError(
            409, QStringLiteral("NameTaken"),
            QStringLiteral("the store already holds a file named \"%1\"; delete it first")
                .arg(u.name));
      taken.insert(u.name);  // two files of one name in one upload: the second would be dropped
    }
    for (const Upload& u : uploads) services_.addToStore(u.file->path(), u.name);

    QMap<QString, StoredFile> after;
    for (const StoredFile& f : services_.storedFiles()) after.insert(f.name, f);
    QJsonArray stored;
    for (const Upload& u : uploads) {
      const auto it = after.constFind(u.name);
      if (it == after.constEnd() || qint64(it->size) != u.file->size()) {
        throw ApiError(502, QStringLiteral("NotStored"),
                       QStringLiteral("the storage manager did not store \"%1\"; it may not accept "
                                      "uploads from %2")
                           .arg(u.name, u.file->path().section(QLatin1Char('/'), 0, -2)));
      }
      stored.append(QJsonObject{{"name", it->name},
                                {"size", qint64(it->size)},
                                {"kind", it->kind},
                                {"id", orNull(it->id)},
                                {"date", isoUtc(it->date)}});
    }
    return ApiReply{201, json(QJsonObject{{"stored", stored}})};
  } catch (const ApiError& e) {
    return errorReply(e);
  } catch (const ServiceFailure& f) {
    return errorReply(serviceError(f));
  }
}

QJsonObject ConsoleApi::removeStored(const QString& name) {
  if (const QString problem = UploadDirectory::storeNameProblem(name); !problem.isEmpty())
    throw badRequest(QStringLiteral("BadName"),
                     QStringLiteral("not a stored file's name: ") + problem);
  std::lock_guard<std::mutex> lock(storeMutex_);
  const auto has = [&] {
    const QList<StoredFile> files = services_.storedFiles();
    return std::any_of(files.begin(), files.end(),
                       [&](const StoredFile& f) { return f.name == name; });
  };
  if (!has())
    throw ApiError(404, QStringLiteral("UnknownStoreFile"),
                   QStringLiteral("the store holds no file named \"%1\"").arg(name));
  services_.removeFromStore(name);
  if (has())
    throw ApiError(502, QStringLiteral("NotDeleted"),
                   QStringLiteral("the storage manager did not delete \"%1\"").arg(name));
  return QJsonObject{{"deleted", name}};
}

// ---------------------------------------------------------------------------------------------
// Operations

QByteArray ConsoleApi::summaryOf(const QList<Operation>& operations) {
  StatusCounts counts;
  QCryptographicHash digest(QCryptographicHash::Sha1);
  for (const Operation& o : operations) {
    counts.add(o.status);
    const QByteArray line = QByteArray::number(o.id) + ' ' + o.status.toLatin1() + ' ' +
                            QByteArray::number(o.progress) + '\n';
    digest.addData(line);
  }
  return json(QJsonObject{{"total", qint64(operations.size())},
                          {"counts", counts.json()},
                          {"digest", QString::fromLatin1(digest.result().toHex().left(16))}});
}

QByteArray ConsoleApi::operations(const ApiRequest& r) {
  const auto number = [&](const char* name, int fallback, int low, int high) {
    if (!r.query.hasQueryItem(QLatin1String(name))) return fallback;
    bool ok = false;
    const int n = r.query.queryItemValue(QLatin1String(name)).toInt(&ok);
    if (!ok || n < low || n > high)
      throw badRequest(QStringLiteral("BadQuery"),
                       QStringLiteral("%1 must be a number from %2 to %3")
                           .arg(QLatin1String(name))
                           .arg(low)
                           .arg(high));
    return n;
  };
  const int offset = number("offset", 0, 0, std::numeric_limits<int>::max());
  const int limit = number("limit", kDefaultPage, 1, kMaxPage);
  QSet<QString> wanted;
  if (r.query.hasQueryItem(QStringLiteral("status"))) {
    for (const QString& s :
         r.query.queryItemValue(QStringLiteral("status")).split(QLatin1Char(','))) {
      if (!kStatuses.contains(s))
        throw badRequest(
            QStringLiteral("BadQuery"),
            QStringLiteral("status is a list of IN_PROGRESS, COMPLETED, FAILED, CANCELED"));
      wanted.insert(s);
    }
  }

  const QList<Operation> all = services_.operations();
  StatusCounts counts;
  QByteArray page;
  page.reserve(qsizetype(std::min<qsizetype>(limit, all.size())) * 100);
  int matching = 0;
  // Newest first: the registry lists by ascending ID.
  for (auto it = all.crbegin(); it != all.crend(); ++it) {
    counts.add(it->status);
    if (!wanted.isEmpty() && !wanted.contains(it->status)) continue;
    if (matching >= offset && matching - offset < limit) {
      if (!page.isEmpty()) page += ',';
      appendOperation(page, *it);
    }
    ++matching;
  }
  return "{\"total\":" + QByteArray::number(matching) + ",\"counts\":" + json(counts.json()) +
         ",\"offset\":" + QByteArray::number(offset) + ",\"limit\":" + QByteArray::number(limit) +
         ",\"operations\":[" + page + "]}";
}

Operation ConsoleApi::findOperation(const QString& idText) {
  const quint32 id = idFrom(idText, "an operation");
  for (const Operation& o : services_.operations()) {
    if (o.id == id) return o;
  }
  throw ApiError(404, QStringLiteral("UnknownOperation"),
                 QStringLiteral("there is no operation %1").arg(id));
}

QJsonObject ConsoleApi::operation(const QString& idText) {
  const Operation listed = findOperation(idText);
  const std::optional<OperationDetails> details = services_.details(listed.id);
  if (!details)  // cleared between the two questions
    throw ApiError(404, QStringLiteral("UnknownOperation"),
                   QStringLiteral("there is no operation %1").arg(listed.id));
  QJsonObject o = operationJson(listed);
  o.insert("status", details->status);  // the newer of the two
  const bool finished = details->status != QLatin1String("IN_PROGRESS");
  QJsonArray files;
  for (const OperationFile& f : details->files) {
    const bool pending = !f.succeeded && f.result == QLatin1String("completed");
    files.append(QJsonObject{{"name", f.name},
                             {"size", qint64(f.size)},
                             {"kind", f.kind},
                             {"source", orNull(f.source)},
                             {"destination", orNull(f.destination)},
                             {"state", f.succeeded ? "done"
                                       : pending   ? "pending"
                                                   : "failed"},
                             {"result", f.result},
                             {"text", plainFileResult(details->type, f, finished)}});
  }
  o.insert("files", files);
  return o;
}

QJsonObject ConsoleApi::cancel(const QString& idText) {
  const Operation o = findOperation(idText);
  // A cancel given to a finished operation would wait for its next retry and end that at once.
  if (o.status != QLatin1String("IN_PROGRESS"))
    throw ApiError(409, QStringLiteral("NotRunning"),
                   QStringLiteral("operation %1 has already ended (%2)").arg(o.id).arg(o.status));
  services_.cancel(o.id);
  return QJsonObject{{"id", qint64(o.id)}, {"requested", "cancel"}};
}

QJsonObject ConsoleApi::retry(const QString& idText) {
  const Operation o = findOperation(idText);
  // The storage manager would hold the answer until the running run ends: minutes.
  if (o.status == QLatin1String("IN_PROGRESS"))
    throw ApiError(409, QStringLiteral("StillRunning"),
                   QStringLiteral("operation %1 is still running; cancel it first").arg(o.id));
  services_.retry(o.id);
  return QJsonObject{{"id", qint64(o.id)}, {"requested", "retry"}};
}

QJsonObject ConsoleApi::clear() {
  std::lock_guard<std::mutex> lock(createMutex_);
  const qsizetype before = services_.operations().size();
  services_.clearFinished();
  const qsizetype after = services_.operations().size();
  return QJsonObject{{"removed", qint64(std::max<qsizetype>(0, before - after))}};
}

Device ConsoleApi::resolve(const QList<Device>& fleet, const QJsonValue& reference) const {
  std::optional<quint32> id;
  QString address;
  if (reference.isDouble()) {
    const double n = reference.toDouble();
    if (n >= 0 && n <= double(std::numeric_limits<qint32>::max()) && n == double(qint64(n)))
      id = quint32(n);
  } else if (reference.isString()) {
    const QString text = reference.toString().trimmed();
    bool ok = false;
    const uint n = text.toUInt(&ok);
    if (ok && !text.isEmpty() && text.at(0).isDigit()) {
      id = n;
    } else {
      address = text;
    }
  }
  for (const Device& d : fleet) {
    if ((id && d.id == *id) || (!address.isEmpty() && d.address == address)) return d;
  }
  const QString shown = reference.isString()   ? reference.toString().left(60)
                        : reference.isDouble() ? QString::number(reference.toDouble())
                                               : QStringLiteral("(not a printer's ID or address)");
  throw badRequest(QStringLiteral("UnknownDevice"),
                   QStringLiteral("there is no printer %1").arg(shown));
}

QJsonObject ConsoleApi::createOperations(const QByteArray& body) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(body, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject())
    throw badRequest(QStringLiteral("BadJson"),
                     error.error != QJsonParseError::NoError
                         ? QStringLiteral("the body is not JSON: %1 at character %2")
                               .arg(error.errorString())
                               .arg(error.offset)
                         : QStringLiteral("the body must be a JSON object"));
  const QJsonObject o = document.object();
  const QString type = o.value("type").toString().toLower();
  if (type != QLatin1String("add") && type != QLatin1String("copy") &&
      type != QLatin1String("move") && type != QLatin1String("delete"))
    throw badRequest(QStringLiteral("BadType"),
                     QStringLiteral("\"type\" must be \"add\", \"copy\", \"move\" or \"delete\""));

  const QList<Device> fleet = services_.devices();
  std::vector<Expected> expected;

  if (type == QLatin1String("add")) {
    QJsonArray targets = arrayField(o, "devices", false);
    if (targets.isEmpty()) {
      if (!o.contains("device"))
        throw badRequest(QStringLiteral("BadField"),
                         QStringLiteral("name the printers in \"devices\""));
      targets.append(o.value("device"));
    }
    QStringList names;
    for (const QJsonValue& v : arrayField(o, "files", true)) names << fileNameField(v);
    names.removeDuplicates();
    QSet<QString> stored;
    for (const StoredFile& f : services_.storedFiles()) stored.insert(f.name);
    for (const QString& n : names) {
      if (!stored.contains(n))
        throw badRequest(QStringLiteral("UnknownStoreFile"),
                         QStringLiteral("the store holds no file named \"%1\"").arg(n));
    }
    QStringList seen;
    for (const QJsonValue& t : targets) {
      const Device d = resolve(fleet, t);
      if (seen.contains(d.address)) continue;
      seen << d.address;
      expected.push_back({QStringLiteral("ADD"),
                          QString(),
                          {d.address},
                          [this, address = d.address, names] { services_.add(address, names); },
                          std::nullopt});
    }
  } else {
    const bool transfer = type != QLatin1String("delete");
    const Device from = resolve(fleet, transfer ? o.value("source") : o.value("device"));
    QStringList to;
    if (transfer) {
      for (const QJsonValue& v : arrayField(o, "destinations", true)) {
        const Device d = resolve(fleet, v);
        if (d.address == from.address)
          throw badRequest(
              QStringLiteral("BadField"),
              QStringLiteral("printer %1 is both the source and a destination").arg(d.id));
        if (!to.contains(d.address)) to << d.address;
      }
    }
    // What the device holds fills in what the request leaves out (size, ID).
    std::optional<QList<DeviceFile>> held;
    QList<FileRef> files;
    for (const QJsonValue& v : arrayField(o, "files", true)) {
      const QJsonObject f = v.isString() ? QJsonObject{{"name", v}} : v.toObject();
      FileRef ref;
      ref.name = fileNameField(f.value("name"));
      ref.kind = f.value("kind").toString();
      if (!ref.kind.isEmpty() && !kKinds.contains(ref.kind))
        throw badRequest(QStringLiteral("BadFile"),
                         QStringLiteral("\"kind\" is one of psFont, psForm, pclFont, pclMacro"));
      const QJsonValue size = f.value("size");
      const QJsonValue id = f.value("id");
      if (ref.kind.isEmpty() || !size.isDouble() || !id.isDouble()) {
        if (!held) held = services_.deviceFiles(from.id);
        const auto match = std::find_if(held->begin(), held->end(), [&](const DeviceFile& h) {
          return h.name == ref.name && (ref.kind.isEmpty() || h.kind == ref.kind);
        });
        if (match == held->end())
          throw badRequest(
              QStringLiteral("UnknownDeviceFile"),
              QStringLiteral("printer %1 holds no file named \"%2\"").arg(from.id).arg(ref.name));
        if (ref.kind.isEmpty()) ref.kind = match->kind;
        if (!size.isDouble()) ref.size = match->size;
        if (!id.isDouble()) ref.id = match->id;
      }
      const auto whole = [&](const QJsonValue& value, quint32* into, const char* what) {
        if (!value.isDouble()) return;
        const double n = value.toDouble();
        if (n < 0 || n > 4294967295.0 || n != double(qint64(n)))
          throw badRequest(QStringLiteral("BadFile"),
                           QStringLiteral("\"%1\" must be a whole number from 0 to 4294967295")
                               .arg(QLatin1String(what)));
        *into = quint32(qint64(n));
      };
      whole(size, &ref.size, "size");
      whole(id, &ref.id, "id");
      files << ref;
    }
    if (type == QLatin1String("delete")) {
      expected.push_back(
          {QStringLiteral("DELETE"),
           from.address,
           {},
           [this, address = from.address, files] { services_.remove(address, files); },
           std::nullopt});
    } else {
      const bool move = type == QLatin1String("move");
      expected.push_back({move ? QStringLiteral("MOVE") : QStringLiteral("COPY"), from.address, to,
                          [this, move, source = from.address, to, files] {
                            move ? services_.move(source, to, files)
                                 : services_.copy(source, to, files);
                          },
                          std::nullopt});
    }
  }

  std::lock_guard<std::mutex> lock(createMutex_);
  qint64 newestBefore = -1;
  for (const Operation& op : services_.operations())
    newestBefore = std::max<qint64>(newestBefore, op.id);
  for (Expected& e : expected) e.send();
  qint64 taken = newestBefore;
  const QList<Operation> after = services_.operations();
  for (Expected& e : expected) {
    for (const Operation& op : after) {
      if (qint64(op.id) > taken && op.type == e.type && op.source == e.source &&
          op.destinations == e.destinations) {
        e.id = op.id;
        taken = op.id;
        break;
      }
    }
  }
  QJsonArray made;
  for (const Expected& e : expected) {
    made.append(QJsonObject{{"id", e.id ? QJsonValue(qint64(*e.id)) : QJsonValue()},
                            {"type", e.type},
                            {"source", orNull(e.source)},
                            {"destinations", QJsonArray::fromStringList(e.destinations)}});
  }
  return QJsonObject{{"operations", made}};
}

}  // namespace Zarvo::console
