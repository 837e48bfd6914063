// HTTPClient: multipart form posts to device CGI pages through libcurl's easy interface.
#include "plugin/HTTPClient.h"

#include <curl/curl.h>

#include <memory>
#include <utility>

namespace Zarvo::dsm {

namespace {

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MimeDeleter {
  void operator()(curl_mime* m) const { curl_mime_free(m); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;
using MimePtr = std::unique_ptr<curl_mime, MimeDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

// State the C callbacks reach through their user pointers.
struct Transfer {
  QByteArray body;
  std::int64_t maxBodyBytes = 0;
  const HTTPClient::StopCheck* stopRequested = nullptr;
};

// Appends one delivered block. Returning less than offered makes libcurl fail the transfer,
// which is how an over-long body or an allocation failure ends it (no exception may cross C).
size_t appendBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (std::int64_t(t->body.size()) + std::int64_t(n) > t->maxBodyBytes) return 0;
  try {
    t->body.append(data, qsizetype(n));
  } catch (...) {
    return 0;
  }
  return n;
}

// Called often while bytes move and about once a second while the device is silent; a
// non-zero return aborts the transfer. A throwing stop check counts as "stop".
int pollStop(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  try {
    return (*t->stopRequested)() ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

// Setting an option can only fail for lack of memory or an unsupported option; both mean the
// request cannot be made as intended.
template <typename T>
void set(CURL* h, CURLoption option, T value) {
  if (curl_easy_setopt(h, option, value) != CURLE_OK) throw HTTPClient::HTTPClientError();
}

}  // namespace

QByteArray HTTPClient::post(const QUrl& url, const Form& form, const StopCheck& stopRequested,
                            const Limits& limits) {
  Transfer transfer;
  transfer.maxBodyBytes = limits.maxBodyBytes;
  transfer.stopRequested = &stopRequested;
  // A job already told to stop does not even connect.
  if (stopRequested && pollStop(&transfer, 0, 0, 0, 0) != 0) throw HTTPClientError();

  // The form and header list must outlive the handle that points at them, so they are
  // declared first and released after it.
  MimePtr mime;
  SlistPtr headers;
  EasyPtr easy(curl_easy_init());
  if (!easy) throw HTTPClientError();
  CURL* h = easy.get();

  const QByteArray urlText = url.toEncoded();
  set(h, CURLOPT_URL, urlText.constData());
  // The pages are plain HTTP on the device; nothing else may be reached through this client.
  set(h, CURLOPT_PROTOCOLS_STR, "http");
  set(h, CURLOPT_WRITEFUNCTION, &appendBody);
  set(h, CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  // Job threads must not get signals from libcurl's resolver time-outs.
  set(h, CURLOPT_NOSIGNAL, 1L);

  set(h, CURLOPT_CONNECTTIMEOUT_MS, long(limits.connectTimeout.count()));
  set(h, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
  set(h, CURLOPT_LOW_SPEED_TIME, long(limits.lowSpeedTime.count()));
  // Refuses an announced over-long body before reading it; appendBody catches the rest.
  set(h, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(limits.maxBodyBytes));
  if (stopRequested) {
    set(h, CURLOPT_XFERINFOFUNCTION, &pollStop);
    set(h, CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
    set(h, CURLOPT_NOPROGRESS, 0L);
  }

  if (!form.isEmpty()) {
    mime.reset(curl_mime_init(h));
    if (!mime) throw HTTPClientError();
    for (const auto& field : form) {
      curl_mimepart* part = curl_mime_addpart(mime.get());
      if (!part) throw HTTPClientError();
      const QByteArray name = field.first.toLatin1();
      const QByteArray value = field.second.toLatin1();
      // Both are copied by libcurl; the value's size is explicit so a NUL does not cut it.
      if (curl_mime_name(part, name.constData()) != CURLE_OK ||
          curl_mime_data(part, value.constData(), size_t(value.size())) != CURLE_OK) {
        throw HTTPClientError();
      }
    }
    set(h, CURLOPT_MIMEPOST, mime.get());
  }

  // An empty "Expect:" keeps libcurl from announcing a large body and waiting for an interim
  // 100 answer that the devices' servers never send.
  headers.reset(curl_slist_append(nullptr, "Expect:"));
  if (!headers) throw HTTPClientError();
  set(h, CURLOPT_HTTPHEADER, headers.get());

  if (curl_easy_perform(h) != CURLE_OK) throw HTTPClientError();

  long status = 0;
  if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
    throw HTTPClientError();
  }
  return std::move(transfer.body);
}

}  // namespace Zarvo::dsm
