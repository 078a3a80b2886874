#pragma once
// One running instance per settings file. The first instance holds a lock file and listens on a
// local socket; a later one finds the lock taken, asks the first to come forward through the
// socket and is told to leave.
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <filesystem>
#include <memory>

namespace tovix::app {

// How long a later instance keeps trying to reach the first (which may be starting right now).
inline constexpr int INSTANCE_HANDOVER_TIMEOUT_MS = 3000;

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // `key` names the instance slot; instance_key() gives the one for a settings file.
  explicit SingleInstance(QString key, QObject* parent = nullptr);
  ~SingleInstance() override;

  // True: this is the first instance and now listens for later ones. False: another one holds
  // the slot; it was asked to come forward (when it could be reached in time).
  bool acquire();

  // Derived from the settings file's absolute path, so each configuration has its own slot.
  static QString instance_key(const std::filesystem::path& config_path);

 signals:
  // A later instance was started; the receiver brings its window forward.
  void activation_requested();

 private:
  void _on_connection();
  bool _ask_first_to_come_forward();

  QString _key;
  std::unique_ptr<QLockFile> _lock;
  QLocalServer _server;
};

}  // namespace tovix::app
