#include "tests/velor_wholog/wholog_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "daemon/velor/velor.h"

namespace wholog_test {

namespace {

void put(std::string &e, size_t at, size_t width, const std::string &text)
{
    if (text.size() >= width)
        throw std::invalid_argument("text does not fit its who-log field: " + text);
    e.replace(at, text.size(), text);
}

} // namespace

std::string entry(const std::string &user, const std::string &nas, const std::string &port,
                  const std::string &extra)
{
    std::string e(entry_size, '\0');
    put(e, 0, 64, user);
    put(e, 64, 32, nas);
    put(e, 96, 32, port);
    put(e, 128, 64, extra);
    return e;
}

std::string free_slot()
{
    return std::string(entry_size, '\0');
}

temp_dir::temp_dir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/wholog-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
}

temp_dir::~temp_dir()
{
    if (DIR *d = opendir(dir_.c_str())) {
        while (dirent *de = readdir(d)) {
            if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0)
                continue;
            unlink(file(de->d_name).c_str());
        }
        closedir(d);
    }
    rmdir(dir_.c_str());
}

std::string read_file(const std::string &path)
{
    std::string bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        throw std::runtime_error("cannot read " + path);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes.append(buf, n);
    fclose(f);
    return bytes;
}

void write_file(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0)
        throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void log_record(const record &r)
{
    user_ident id;
    id.user = r.user.c_str();
    id.nas = r.nas.c_str();
    id.nas_port = r.port.c_str();
    id.extra = r.extra.c_str();
    std::vector<const char *> args;
    for (const auto &a : r.args)
        args.push_back(a.c_str());
    acct_record rec;
    rec.kind = r.kind;
    rec.ident = &id;
    rec.arg_count = static_cast<int>(args.size());
    static const char *no_args[1] = {nullptr};
    rec.args = args.empty() ? no_args : args.data();
    loguser(&rec);
}

void WhologDirFixture::SetUp()
{
    HostFixture::SetUp();
    path_ = dir_.file("zatwho.log");
    saved_ = wholog;
    wholog = path_.c_str();
}

void WhologDirFixture::TearDown()
{
    wholog = saved_;
    HostFixture::TearDown();
}

} // namespace wholog_test
