#pragma once
// Output files named on a command line, checked before anything is created:
// a link is never followed, a FIFO or a device is never opened (it could
// block the start, or swallow the report), a file the kernel makes (procfs,
// sysfs) is never written, and two options (or an option and standard
// output) never name the same file. A run that is refused touches no file,
// and removes at its end only a file it created itself.

#include <QString>
#include <QtGlobal>

#include <vector>

enum class OutputKind {
    New,           // must not exist: created exclusively
    RegularOrNew,  // an existing regular file is replaced when the run ends
};

struct OutputPath {
    QString option;  // "--timeline"
    QString path;
    OutputKind kind = OutputKind::New;
};

// The first problem with these outputs, without the program's prefix:
// "--port-file x: exists already (a file is never replaced)", "--timeline a
// and --junit a name the same file", ...; an empty text when there is none.
// Empty paths are skipped. Nothing is created or opened.
QString output_paths_problem(const std::vector<OutputPath>& outputs);

// A file as it is now: an inode number is reused at once after an unlink, so
// the change time tells a file made since at the same number apart.
struct FileIdentity {
    bool known = false;
    quint64 dev = 0;
    quint64 ino = 0;
    qint64 ctime_ns = 0;
};
bool same_file(const FileIdentity& a, const FileIdentity& b);  // device and inode
bool unchanged_file(const FileIdentity& a, const FileIdentity& b);  // and the change time
// Whether two paths name one file: the same file where it exists, else the
// same name in the same real folder.
bool same_place(const QString& a, const QString& b);
FileIdentity fd_identity(int fd);
FileIdentity path_identity(const QString& path);  // of the path itself, a link not followed

// Opens a report to be written when the run ends, without following a link
// or blocking: creates it exclusively, or opens an existing regular file
// without truncating it. -1 with the reason when it cannot.
int open_report_file(const QString& path, bool& created, FileIdentity& identity, QString& error);

// Writes bytes as the file's whole content. False with the reason.
bool replace_file_content(int fd, const char* bytes, qint64 size, QString& error);

// Removes path only while it is still the file of that identity (the one
// this run created, unchanged since), never another put there since. A file
// this run itself wrote to since (and kept open, so its inode was never
// free) is told by device and inode alone: written_since.
void remove_if_same(const QString& path, const FileIdentity& identity, bool written_since = false);
