#include "framework/Service.h"

#include "framework/Log.h"

namespace Zarvo {

template <class Call>
PacketPtr Service::dispatch(const QString& command, Call&& call) {
  std::shared_ptr<CommandHandler> handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return std::make_unique<ResponsePacket>(Failure::servicePaused());
    auto it = handlers_.find(command);
    if (it == handlers_.end())
      return std::make_unique<ResponsePacket>(Failure::cantHandle(command));
    handler = it->second;
    ++inProgress_;
  }
  // The count goes down on every path, whether the handler returned or threw.
  struct InProgress {
    Service* s;
    ~InProgress() {
      std::lock_guard<std::mutex> lock(s->mutex_);
      if (--s->inProgress_ == 0) s->idle_.notify_all();
    }
  } guard{this};
  try {
    return call(*handler);
  } catch (const WrongPacketFormat& e) {
    return std::make_unique<ResponsePacket>(Failure::wrongRequest(e.message()));
  } catch (...) {
    return std::make_unique<ResponsePacket>(Failure::handlerException());
  }
}

PacketPtr Service::processRequest(const QString& command, const QByteArray& bytes) {
  return dispatch(command, [&](CommandHandler& h) { return h.handleRequest(bytes); });
}

PacketPtr Service::processRequest(const QString& command, const QByteArray& bytes,
                                  const QHostAddress& caller) {
  if (!admitsCaller(command, caller)) {
    ZLOG("warning") << "Command " << command << " from " << caller.toString() << " refused";
    return std::make_unique<ResponsePacket>(Failure::cantHandle(command));
  }
  return processRequest(command, bytes);
}

PacketPtr Service::processPacket(Packet& packet) {
  QString command;
  try {
    command = packet.command();
  } catch (const WrongPacketFormat& e) {
    return std::make_unique<ResponsePacket>(Failure::wrongRequest(e.message()));
  }
  return dispatch(command, [&](CommandHandler& h) { return h.handlePacket(packet); });
}

bool Service::stop(const StopToken& token) {
  // Registered before the lock: a stop that already happened runs the callback at once, here,
  // and it takes the same mutex.
  StopCallback wake(token, [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.notify_all();
  });
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    first = !stopping_;
    stopping_ = true;
  }
  if (first) aboutToStop();
  std::unique_lock<std::mutex> lock(mutex_);
  while (inProgress_ != 0) {
    if (token.stopRequested()) return false;
    idle_.wait_for(lock, stopPoll_);
  }
  return true;
}

int Service::requestsInProgress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inProgress_;
}

}  // namespace Zarvo
