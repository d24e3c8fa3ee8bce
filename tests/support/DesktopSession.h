#pragma once

// A desktop session of the test's own: an X server (Xvfb on a free display)
// and a private session bus (dbus-daemon --session), each started only where
// the machine has it, each ended with the object. Both set the environment
// (DISPLAY, DBUS_SESSION_BUS_ADDRESS) that programs find them by.

#include <QProcess>
#include <QStandardPaths>
#include <QString>

#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

class XServer {
public:
    XServer()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()) {
            why = QStringLiteral("Xvfb is not installed");
            return;
        }
        int fds[2];
        if (pipe(fds) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string display;
        pollfd p{fds[0], POLLIN, 0};
        char c;
        while (m_pid > 0 && poll(&p, 1, 15000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
            display += c;
        close(fds[0]);
        if (display.empty()) {
            why = QStringLiteral("Xvfb did not start");
            return;
        }
        setenv("DISPLAY", (":" + display).c_str(), 1);
        running = true;
    }
    ~XServer()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    bool running = false;
    QString why;

private:
    pid_t m_pid = -1;
};

class SessionBus {
public:
    SessionBus()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) {
            why = QStringLiteral("dbus-daemon is not installed");
            return;
        }
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!m_daemon.waitForReadyRead(10000)) {
            why = QStringLiteral("dbus-daemon did not start: ") + m_daemon.readAllStandardError();
            return;
        }
        address = QString::fromLocal8Bit(m_daemon.readLine()).trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toLocal8Bit());
    }
    ~SessionBus()
    {
        if (m_daemon.state() != QProcess::NotRunning) {
            m_daemon.terminate();
            m_daemon.waitForFinished(5000);
        }
    }
    SessionBus(const SessionBus &) = delete;
    SessionBus &operator=(const SessionBus &) = delete;

    bool running() const { return !address.isEmpty(); }
    QString address;
    QString why;

private:
    QProcess m_daemon;
};
