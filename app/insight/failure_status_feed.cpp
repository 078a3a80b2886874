#include "app/insight/failure_status_feed.h"

#include <QMetaObject>

namespace tovix::insight {

FailureStatusFeed::FailureStatusFeed(QObject* parent) : QObject(parent) {
  // The sink runs under the notices' lock, which the destructor's detach() takes too: `this`
  // is whole during every call.
  _notices = std::make_shared<ProxyFailureNotices>([this](const std::string& text) {
    QMetaObject::invokeMethod(
        this, [this, text = QString::fromStdString(text)] { emit proxy_failed(text); }, Qt::QueuedConnection);
  });
}

FailureStatusFeed::~FailureStatusFeed() { _notices->detach(); }

}  // namespace tovix::insight
