// The application object the window code is written against: it sets up the toolkit, runs the
// message loop, shows messages and errors, and closes the main form on SIGTERM, SIGINT and SIGHUP.
#pragma once

#include <QObject>
#include <QString>

#include <exception>
#include <memory>

class QApplication;

using TObject = QObject;

class Exception : public std::exception {
public:
    explicit Exception(const QString &message) : Message(message), utf8(message.toUtf8()) {}
    const char *what() const noexcept override { return utf8.constData(); }
    QString Message;

private:
    QByteArray utf8;
};

// Message box flags and result, as the window code passes and reads them: one OK button and no
// icon.
constexpr int MB_OK = 0x0;
constexpr int IDOK = 1;

class TForm;

// The exit status of a start refused before any window opened (no display, no way to hear the
// close signals), with its one line on standard error.
constexpr int kNotStartedStatus = 1;

class TApplication {
public:
    TApplication();
    ~TApplication();
    // Sets up the toolkit. From here on SIGTERM, SIGINT and SIGHUP close the main form as the
    // operator does, once the message loop runs. Where they cannot be heard (no descriptor for
    // the pipe they are written to), it says so and ends with kNotStartedStatus.
    void Initialize();
    template <class Form> void CreateForm(Form *&reference)
    {
        reference = new Form(nullptr);
        adopt(reference);
    }
    // Shows the main form and runs the message loop until the main form has closed.
    void Run();
    // Ends the message loop; nothing queued behind it runs.
    void Terminate();
    void ShowException(const Exception *e);
    int MessageBox(const QString &text, const QString &caption, int flags);
    TForm *MainForm() const { return mainForm; }

private:
    void adopt(TForm *form);
    void closeOnSignals();
    std::unique_ptr<QApplication> qapp;
    TForm *mainForm = nullptr;
};

extern TApplication *Application;
