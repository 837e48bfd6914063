// FakeDeviceSender: stands in for the download path in job tests. It records every download
// (address and the exact bytes the device would get), answers with a scripted outcome per
// address, and can hold downloads (all, or those to one address) at the confirmation wait until
// the test releases them or the job's stop token fires, like a device that never confirms. It
// counts how many downloads were under way at once.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <ostream>

#include "framework/StopToken.h"
#include "plugin/DeviceSender.h"
#include "plugin/TCP9100File.h"

namespace Zarvo::dsm {
// Readable failure messages for outcomes (gtest finds it beside the type).
inline void PrintTo(const FileOutcome& o, std::ostream* out) {
  *out << "{" << o.succeeded << ", " << o.text.toStdString() << "}";
}
}  // namespace Zarvo::dsm

namespace testing_devices {

class FakeDeviceSender : public Zarvo::dsm::DeviceSender {
 public:
  struct Sent {
    QString address;
    QByteArray bytes;  // header, content and trailer
  };

  // What a download cut short by its stop token returns.
  static Zarvo::dsm::FileOutcome stoppedOutcome() {
    return Zarvo::dsm::FileOutcome::deviceDosntResponse();
  }

  // The outcome of later downloads to `address`; completed() unless set.
  void setOutcome(const QString& address, const Zarvo::dsm::FileOutcome& outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_[address] = outcome;
  }
  // While holding, each download waits after it was recorded until release() or its stop.
  void setHolding(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = hold;
    if (!hold) changed_.notify_all();
  }
  // Holds the downloads to `address` only, like a device that never confirms.
  void holdAddress(const QString& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    heldAddresses_.append(address);
  }
  // Lets every held download go on with its outcome and stops holding.
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      heldAddresses_.clear();
    }
    setHolding(false);
  }
  // The next downloads throw std::bad_alloc, as an allocation failure deep in the path would.
  void setThrowing(bool value) {
    std::lock_guard<std::mutex> lock(mutex_);
    throwing_ = value;
  }

  // Called on the job's thread at each download, before its outcome (not under the fake's lock).
  void setOnSend(std::function<void()> onSend) {
    std::lock_guard<std::mutex> lock(mutex_);
    onSend_ = std::move(onSend);
  }

  // Waits up to `limit` until `n` downloads are held; true when they are.
  bool waitForHeld(int n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return held_ >= n; });
  }
  // Waits up to `limit` until `n` downloads were made; true when they were.
  bool waitForSent(int n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return sent_.size() >= n; });
  }
  QList<Sent> sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }
  int held() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }
  // The most downloads that were under way at the same time.
  int maxInFlight() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return maxInFlight_;
  }

  Zarvo::dsm::FileOutcome send(const QString& address, const Zarvo::dsm::TCP9100File& file,
                               const Zarvo::StopToken& stop) override {
    std::function<void()> onSend;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      onSend = onSend_;
    }
    if (onSend) onSend();
    Zarvo::StopCallback wake(stop, [this] {
      std::lock_guard<std::mutex> lock(mutex_);
      changed_.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex_);
    if (throwing_) throw std::bad_alloc();
    struct InFlight {
      FakeDeviceSender& fake;
      explicit InFlight(FakeDeviceSender& f) : fake(f) {
        fake.maxInFlight_ = std::max(fake.maxInFlight_, ++fake.inFlight_);
      }
      ~InFlight() { --fake.inFlight_; }  // under mutex_ on every way out
    } inFlight(*this);
    sent_.append(Sent{address, file.header() + file.content() + file.trailer()});
    changed_.notify_all();
    const auto holds = [&] { return holding_ || heldAddresses_.contains(address); };
    if (holds()) {
      ++held_;
      changed_.notify_all();
      // Bounded like every wait of the tests; a real sender's limit is the confirmation's.
      changed_.wait_for(lock, std::chrono::seconds(30),
                        [&] { return !holds() || stop.stopRequested(); });
      --held_;
      if (stop.stopRequested()) return stoppedOutcome();
    }
    auto it = outcomes_.find(address);
    return it == outcomes_.end() ? Zarvo::dsm::FileOutcome::completed() : *it;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  QMap<QString, Zarvo::dsm::FileOutcome> outcomes_;
  QList<Sent> sent_;
  std::function<void()> onSend_;
  QStringList heldAddresses_;
  bool holding_ = false;
  bool throwing_ = false;
  int held_ = 0;
  int inFlight_ = 0;
  int maxInFlight_ = 0;
};

}  // namespace testing_devices
