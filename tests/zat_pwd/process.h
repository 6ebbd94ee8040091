// Running zat_pwd and the reference implementations as real processes.
#ifndef ZAT_PWD_TEST_PROCESS_H
#define ZAT_PWD_TEST_PROCESS_H

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <utility>
#include <vector>

namespace pwd_test {

inline const std::string PROMPT = "Password to be encrypted: ";
inline const std::string USAGE =
    "Usage: zat_pwd [-ehm] [<salt>]\n"
    "\t-e\tdo not echo the password\n"
    "\t-h\tdisplay this message\n"
    "\t-m\tgenerate MD5 crypt\n";
inline const std::string SALT_SET =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// What standard input of the tool is.
enum class Stdin {
    pipe,       // a pipe holding the input, then end of file
    file,       // a regular file holding the input
    write_only, // a file open for writing only: read(2) fails
};

struct Result {
    int status = -1;          // exit status, or 128 + signal number
    std::string out;
    std::string err;
    off_t stdin_offset = -1;  // Stdin::file: where the tool left the offset
};

// Environment variables to set for one run.  ASAN_OPTIONS is added to
// what the test itself runs with, not put in its place.
using Env = std::vector<std::pair<std::string, std::string>>;

// Runs file (found on PATH when it holds no '/') with argv, argv[0]
// included, feeding input on standard input and collecting standard output
// and standard error through pipes.
Result run(const std::string &file, const std::vector<std::string> &argv,
        const std::string &input, Stdin mode = Stdin::pipe,
        const Env &env = {});

// The built zat_pwd, with argv[0] "zat_pwd" and the given arguments.
Result run_pwd(const std::vector<std::string> &args, const std::string &input,
            Stdin mode = Stdin::pipe, const Env &env = {});

// The built zat_pwd with its standard input a pipe that the test writes
// piece by piece: each piece goes in only once the tool has read all that
// came before it, so the tool's reads see the input cut exactly there.
Result run_pwd_pieces(const std::vector<std::string> &args,
                      const std::vector<std::string> &pieces);

// Runs the built zat_pwd with standard output on a sequenced-packet
// socket, which keeps each write(2) as a record of its own, and returns the
// records in order: how the tool cut its output into writes.  With
// stderr_too, standard error goes to the same socket, so the records also
// show how the output and the messages follow one another.
std::vector<std::string> stdout_writes(const std::vector<std::string> &args,
                                       const std::string &input, int *status,
                                       bool stderr_too = false);

// The environment for a child: the test's own, less POSIXLY_CORRECT, with
// env applied.  The strings live in the vector; pointers come from envp().
std::vector<std::string> child_env(const Env &env);

enum class Scheme { sha512, md5, des };

// The hash that an independent implementation gives: openssl passwd -6 or
// -1 for SHA-512 and MD5 crypt, the crypt library called directly for DES.
// salt is the salt exactly as it is to be used.
std::string reference_hash(Scheme scheme, const std::string &salt,
                           const std::string &password);

// A zat_pwd run in a pseudo-terminal: the tool's standard input and output
// are the terminal, its standard error a pipe.
struct PtyRun {
    int status = -1;
    std::string screen;        // everything the terminal showed
    std::string err;
    bool prompt_seen = false;
    bool echo_at_prompt = false; // ECHO when the prompt had been written
    struct termios before {};
    struct termios after {};   // once the tool has exited
    int left_in_input = -1;    // bytes still queued for reading afterwards
    std::string left;          // and what they are
};

// Starts zat_pwd in a new pseudo-terminal (echo on or off to begin with),
// waits for the prompt, types typed, and waits for the tool to end.
PtyRun run_in_pty(const std::vector<std::string> &args,
                  const std::string &typed, bool echo_at_start = true);

// The terminal that a job starts on, and how the job is started.
struct PtySetup {
    bool echo = true;
    bool canonical = true;        // ICANON: input is passed on by lines
    bool stdout_broken = false;   // standard output a pipe nobody reads
    std::vector<int> ignored;     // signals the tool starts with ignored
};

// zat_pwd as the foreground job of a session on a new pseudo-terminal.  A
// forked process stands in for the login shell: it leads the session, runs
// the tool in a process group of its own in the foreground, and reports
// every change of the tool's state (stopped, continued, ended) through a
// pipe, as waitpid gives it.  The test types on the master side, reads the
// terminal's settings on the slave side and signals the tool by its pid.
struct PtyJob {
    int master = -1;
    int slave = -1;
    int err_fd = -1;      // the tool's standard error
    int events_fd = -1;   // wait statuses from the stand-in shell
    pid_t shell = -1;
    pid_t tool = -1;
    long deadline = 0;
    bool ended = false;
    int status = -1;      // exit status, or 128 + signal number
    std::string screen;   // what the terminal has shown so far
    struct termios before {};
};

bool pty_start(PtyJob &job, const std::vector<std::string> &args,
               const PtySetup &setup);

// Collects the terminal's output until it holds text; false when the tool
// ends first or the deadline passes.
bool pty_wait_for(PtyJob &job, const std::string &text);

// Types text on the terminal.  With consumed, waits until the tool has
// read it (without ICANON only: the tool cannot read a line before its end).
void pty_type(PtyJob &job, const std::string &text, bool consumed = false);

// Waits until the terminal's ECHO flag is on (or off); false when the
// deadline passes first.
bool pty_wait_for_echo(PtyJob &job, bool on);

// The next wait status of the tool (WIFSTOPPED, WIFCONTINUED, WIFEXITED or
// WIFSIGNALED), or -1 when none comes before the deadline.
int pty_next_status(PtyJob &job);

// Waits for the tool to end and reports what it left behind; closes the job.
PtyRun pty_finish(PtyJob &job);

} // namespace pwd_test

#endif
