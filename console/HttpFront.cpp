#include "console/HttpFront.h"

#include <httplib.h>

#include <QFile>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>
#include <optional>
#include <vector>

#include "console/ConsoleApi.h"
#include "console/OperationFeed.h"
#include "console/RequestGuard.h"
#include "console/UploadDirectory.h"
#include "framework/Log.h"

namespace Zarvo::console {

namespace {

const char* const kJson = "application/json";
// What a browser's form adds around the file: boundaries and part heads.
constexpr qint64 kFormOverhead = 64 * 1024;
constexpr int kMaxFilesPerUpload = 16;

// Our page loads nothing from elsewhere, runs no inline script and is never framed.
const httplib::Headers kPageHeaders = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
     "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
};

bool isUploadRoute(const httplib::Request& req) {
  return req.method == "POST" && req.path == "/api/store";
}

// The request as the API sees it: path segments decoded one by one from the raw target, header
// names in lower case.
ApiRequest toApi(const httplib::Request& req) {
  ApiRequest r;
  r.method = QByteArray::fromStdString(req.method);
  const QByteArray target = QByteArray::fromStdString(req.target);
  const qsizetype question = target.indexOf('?');
  const QByteArray path = question < 0 ? target : target.left(question);
  for (const QByteArray& segment : path.split('/')) {
    if (!segment.isEmpty()) r.segments << QUrl::fromPercentEncoding(segment);
  }
  if (question >= 0) r.query = QUrlQuery(QString::fromUtf8(target.mid(question + 1)));
  for (const auto& [name, value] : req.headers) {
    const QByteArray key = QByteArray::fromStdString(name).toLower();
    if (!r.headers.contains(key)) r.headers.insert(key, QByteArray::fromStdString(value));
  }
  r.body = QByteArray::fromStdString(req.body);
  return r;
}

void answer(httplib::Response& res, const ApiReply& reply) {
  res.status = reply.status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(reply.body.constData(), std::size_t(reply.body.size()), kJson);
}

void answer(httplib::Response& res, const ApiError& error) {
  answer(res, ConsoleApi::errorReply(error));
}

struct Asset {
  QByteArray bytes;
  const char* type;
};

// A file of the page, by its name in the request path; "/" is the page itself.
std::optional<Asset> asset(const std::string& path) {
  static const QRegularExpression flatName(
      QStringLiteral("^/[a-z0-9][a-z0-9_-]*\\.(html|js|css|svg|png)$"));
  const QString name = path == "/" ? QStringLiteral("/index.html") : QString::fromStdString(path);
  const auto match = flatName.match(name);
  if (!match.hasMatch()) return std::nullopt;
  QFile file(QStringLiteral(":/console") + name);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const QString ext = match.captured(1);
  const char* type = ext == QLatin1String("html")  ? "text/html; charset=utf-8"
                     : ext == QLatin1String("js")  ? "text/javascript; charset=utf-8"
                     : ext == QLatin1String("css") ? "text/css; charset=utf-8"
                     : ext == QLatin1String("svg") ? "image/svg+xml"
                                                   : "image/png";
  return Asset{file.readAll(), type};
}

}  // namespace

HttpFront::HttpFront(ConsoleApi& api, OperationFeed& feed, const UploadDirectory& uploads,
                     RequestGuard& guard, Limits limits)
    : api_(api),
      feed_(feed),
      uploads_(uploads),
      guard_(guard),
      limits_(limits),
      server_(std::make_unique<httplib::Server>()) {
  const int threads = limits_.threads;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(std::size_t(threads)); };
  server_->set_read_timeout(limits_.readWait);
  server_->set_write_timeout(limits_.writeWait);
  // The library answers 413 itself, after reading the body away, for a body above this: the
  // largest upload the directory takes and its form.
  server_->set_payload_max_length(std::size_t(uploads_.limit() + kFormOverhead));
  installRoutes();
}

HttpFront::~HttpFront() = default;

bool HttpFront::bind(const QString& host, quint16 port, QString* error) {
  const std::string address = host.toStdString();
  int bound = port;
  if (port == 0) {
    bound = server_->bind_to_any_port(address);
  } else if (!server_->bind_to_port(address, port)) {
    bound = -1;
  }
  if (bound <= 0) {
    if (error) *error = QStringLiteral("cannot listen on %1 port %2").arg(host).arg(port);
    return false;
  }
  port_ = quint16(bound);
  guard_.setPort(port_);
  return true;
}

bool HttpFront::serve() { return server_->listen_after_bind(); }

void HttpFront::stop() { server_->stop(); }

void HttpFront::installRoutes() {
  httplib::Server& s = *server_;

  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (!guard_.hostAllowed(QByteArray::fromStdString(req.get_header_value("Host")))) {
      answer(res, ApiError(421, QStringLiteral("UnknownHost"),
                           QStringLiteral("this console answers only to its own address")));
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!isUploadRoute(req)) {
      if (req.has_header("Transfer-Encoding")) {
        answer(res, ApiError(411, QStringLiteral("LengthRequired"),
                             QStringLiteral("send the body with a Content-Length")));
        return httplib::Server::HandlerResponse::Handled;
      }
      if (req.get_header_value_count("Content-Length") > 0 &&
          req.get_header_value<uint64_t>("Content-Length") > uint64_t(limits_.jsonBody)) {
        answer(
            res,
            ApiError(
                413, QStringLiteral("TooLarge"),
                QStringLiteral("the request body is larger than %1 bytes").arg(limits_.jsonBody)));
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  s.set_exception_handler(
      [](const httplib::Request& req, httplib::Response& res, std::exception_ptr failure) {
        QString what = QStringLiteral("unknown");
        try {
          std::rethrow_exception(failure);
        } catch (const std::exception& e) {
          what = QString::fromLocal8Bit(e.what());
        } catch (...) {
        }
        ZLOG("err") << "Console request " << QString::fromStdString(req.method) << " "
                    << QString::fromStdString(req.path) << " failed: " << what;
        answer(res, ApiError(500, QStringLiteral("Internal"),
                             QStringLiteral("the console failed while handling the request")));
      });

  // Answers the library makes by itself (no route, a body too large) get a JSON body too.
  s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    if (res.status == 404 && req.method == "GET" && req.path.rfind("/api/", 0) != 0) {
      res.set_content("Not found\n", "text/plain; charset=utf-8");
      return;
    }
    const QString why = res.status == 413   ? QStringLiteral("the request is too large")
                        : res.status == 404 ? QStringLiteral("there is nothing here")
                                            : QStringLiteral("the request could not be read");
    const QString code = res.status == 413   ? QStringLiteral("TooLarge")
                         : res.status == 404 ? QStringLiteral("NoSuchPath")
                                             : QStringLiteral("BadRequest");
    const int status = res.status;
    answer(res, ApiError(status, code, why));
  });

  // The page and its assets.
  s.Get(R"(/[^/]*)", [](const httplib::Request& req, httplib::Response& res) {
    const std::optional<Asset> found = asset(req.path);
    if (!found) {
      res.status = 404;
      return;
    }
    res.headers.insert(kPageHeaders.begin(), kPageHeaders.end());
    res.set_header("Cache-Control", "no-cache");
    res.set_content(found->bytes.constData(), std::size_t(found->bytes.size()), found->type);
  });

  // Live updates: one summary per change of the operation list, a comment now and then so a
  // closed page is noticed.
  s.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
    std::shared_ptr<OperationFeed::Listener> listener = feed_.listen();
    if (!listener) {
      answer(res, ApiError(503, QStringLiteral("TooManyListeners"),
                           QStringLiteral("too many pages follow the operations live; this one "
                                          "asks every few seconds instead")));
      return;
    }
    res.set_header("Cache-Control", "no-store");
    const auto keepAlive = std::chrono::duration_cast<std::chrono::milliseconds>(limits_.keepAlive);
    res.set_chunked_content_provider(
        "text/event-stream", [listener, keepAlive](std::size_t, httplib::DataSink& sink) {
          const std::optional<QByteArray> summary = listener->next(keepAlive);
          if (!summary) {  // the console is stopping
            sink.done();
            return true;
          }
          const QByteArray text = summary->isEmpty()
                                      ? QByteArray(": still here\n\n")
                                      : "event: operations\ndata: " + *summary + "\n\n";
          return sink.write(text.constData(), std::size_t(text.size()));
        });
  });

  const auto api = [this](const httplib::Request& req, httplib::Response& res) {
    answer(res, api_.handle(toApi(req)));
  };
  s.Get(R"(/api/.*)", api);
  s.Delete(R"(/api/.*)", api);
  s.Put(R"(/api/.*)", api);
  s.Patch(R"(/api/.*)", api);

  s.Post("/api/store", [this](const httplib::Request& req, httplib::Response& res,
                              const httplib::ContentReader& reader) {
    std::optional<ApiError> refusal;
    try {
      api_.checkUpload(toApi(req));
    } catch (const ApiError& e) {
      refusal = e;
    }
    if (!refusal && !req.is_multipart_form_data()) {
      refusal = ApiError(415, QStringLiteral("NotMultipart"),
                         QStringLiteral("send the file as multipart/form-data, field \"file\""));
    }
    // The body is read to its end whatever happens, so the answer reaches the client: closing
    // on unread bytes would reset the connection under it.
    std::vector<ConsoleApi::Upload> uploads;
    int current = -1;  // the part being read, when it is a file we keep
    bool read;
    if (refusal && !req.is_multipart_form_data()) {
      read = reader([](const char*, std::size_t) { return true; });
    } else {
      read = reader(
          [&](const httplib::MultipartFormData& part) {
            current = -1;
            if (refusal || part.name != "file") return true;  // other fields are not ours
            const QString name = QString::fromStdString(part.filename);
            if (const QString problem = UploadDirectory::storeNameProblem(name);
                !problem.isEmpty()) {
              refusal = ApiError(
                  400, QStringLiteral("BadName"),
                  QStringLiteral("\"%1\" cannot be stored: %2").arg(name.left(80), problem));
              return true;
            }
            if (int(uploads.size()) >= kMaxFilesPerUpload) {
              refusal =
                  ApiError(400, QStringLiteral("TooManyFiles"),
                           QStringLiteral("send at most %1 files at once").arg(kMaxFilesPerUpload));
              return true;
            }
            QString error;
            std::unique_ptr<UploadFile> file = uploads_.create(&error);
            if (!file) {
              ZLOG("err") << "Upload of " << name << " refused: " << error;
              refusal = ApiError(500, QStringLiteral("UploadDirectory"),
                                 QStringLiteral("the console cannot write uploads"), error);
              return true;
            }
            uploads.push_back({name, std::move(file)});
            current = int(uploads.size()) - 1;
            return true;
          },
          [&](const char* data, std::size_t size) {
            if (current < 0 || refusal) return true;  // read and dropped
            UploadFile& file = *uploads[std::size_t(current)].file;
            if (!file.write(data, qint64(size))) {
              refusal = file.tooLarge()
                            ? ApiError(413, QStringLiteral("TooLarge"),
                                       QStringLiteral("a file may have at most %1 MiB")
                                           .arg(uploads_.limit() / (1024 * 1024)))
                            : ApiError(500, QStringLiteral("UploadDirectory"),
                                       QStringLiteral("the console could not write the upload"));
            }
            return true;
          });
    }
    if (!read) {
      refusal = res.status == 413
                    ? ApiError(413, QStringLiteral("TooLarge"),
                               QStringLiteral("a file may have at most %1 MiB")
                                   .arg(uploads_.limit() / (1024 * 1024)))
                    : ApiError(400, QStringLiteral("BrokenUpload"),
                               QStringLiteral("the upload could not be read to its end"));
    }
    for (ConsoleApi::Upload& u : uploads) {
      if (!refusal && !u.file->finish()) {
        refusal = ApiError(500, QStringLiteral("UploadDirectory"),
                           QStringLiteral("the console could not write the upload"));
      }
    }
    if (refusal) {
      answer(res, *refusal);
      return;
    }
    answer(res, api_.store(uploads));
  });

  s.Post(R"(/api/.*)", api);
}

}  // namespace Zarvo::console
