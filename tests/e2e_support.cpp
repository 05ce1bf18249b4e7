#include "e2e_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

std::vector<std::string> ProgramCommand() {
  std::vector<std::string> words;
  std::istringstream runner(EnvOr("NEXLI_RUNNER", ""));
  for (std::string word; runner >> word;) words.push_back(word);
  words.push_back(EnvOr("NEXLI_PROGRAM", "nexli"));
  return words;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Turns the log's escapes (\r, \n, \\, \xHH) back into bytes.
std::string Unescape(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      bytes += text[i];
      continue;
    }
    char kind = text[++i];
    if (kind == 'r') {
      bytes += '\r';
    } else if (kind == 'n') {
      bytes += '\n';
    } else if (kind == 't') {
      bytes += '\t';
    } else if (kind == 'x' && i + 2 < text.size()) {
      bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      bytes += kind;
    }
  }
  return bytes;
}

std::vector<Request> ParseLog(const std::string& log) {
  std::vector<Request> requests;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::size_t first = line.find(' ');
    std::size_t second = line.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    Request request;
    request.time = std::atof(line.substr(0, first).c_str());
    request.device = line.substr(first + 1, second - first - 1);
    request.bytes = Unescape(line.substr(second + 1));
    requests.push_back(request);
  }
  return requests;
}

// Runs argv to its end, standard input /dev/null, collecting both outputs;
// standard error on a pseudo-terminal when terminal_err.
RunResult Spawn(const std::vector<std::string>& argv, bool terminal_err = false) {
  RunResult result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (terminal_err ? openpty(&err_pipe[0], &err_pipe[1], nullptr, nullptr, nullptr) != 0
                   : pipe2(err_pipe, O_CLOEXEC) != 0)
    return result;
  fcntl(err_pipe[0], F_SETFD, FD_CLOEXEC);
  fcntl(err_pipe[1], F_SETFD, FD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  std::vector<char*> args;
  for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
  args.push_back(nullptr);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (spawned != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.err = "cannot start " + argv[0];
    return result;
  }

  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_pipes = 2;
  while (open_pipes > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.end_time =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult SpawnInSandbox(const std::vector<std::string>& hub_options,
                         const std::vector<std::string>& command, bool terminal_err = false) {
  char folder[] = "/tmp/nexli-e2e-XXXXXX";
  if (!mkdtemp(folder)) return RunResult();
  std::string log = std::string(folder) + "/requests.log";
  std::string dump = std::string(folder) + "/hubs.dump";
  std::vector<std::string> argv = {HubsimPath(), "--log", log, "--dump", dump};
  argv.insert(argv.end(), hub_options.begin(), hub_options.end());
  argv.push_back("--");
  argv.insert(argv.end(), command.begin(), command.end());

  RunResult result = Spawn(argv, terminal_err);
  result.skipped =
      result.status == 77 && result.err.find("cannot make a private /dev") != std::string::npos;
  result.requests = ParseLog(ReadFile(log));
  result.dump = ReadFile(dump);
  std::remove(log.c_str());
  std::remove(dump.c_str());
  rmdir(folder);
  return result;
}

}  // namespace

int RevisionUnderTest() { return std::atoi(EnvOr("NEXLI_TEST_REVISION", "103").c_str()); }

std::string ProgramName() { return RevisionUnderTest() == 102 ? "nexla" : "nexli"; }

std::string ExpectedHelp() {
  std::string help = ReadFile(NEXLI_GOLDEN_DIR "/help.txt");
  if (RevisionUnderTest() == 102) {
    help.replace(0, help.find('\n'), "nexla v1.02 for Linux/ARM");
    for (std::size_t at = help.find("nexli"); at != std::string::npos; at = help.find("nexli", at))
      help.replace(at, 5, "nexla");
  }
  return help;
}

RunResult RunCommand(const std::vector<std::string>& argv) { return Spawn(argv); }

std::string HubsimPath() { return EnvOr("HUBSIM", "hubsim"); }

RunResult RunProgram(const std::vector<std::string>& args) {
  std::vector<std::string> argv = ProgramCommand();
  argv.insert(argv.end(), args.begin(), args.end());
  return Spawn(argv);
}

RunResult RunWithHubs(const std::vector<std::string>& hub_options,
                      const std::vector<std::string>& args) {
  std::vector<std::string> argv = ProgramCommand();
  argv.insert(argv.end(), args.begin(), args.end());
  return SpawnInSandbox(hub_options, argv);
}

RunResult RunWithHubs(const std::vector<std::string>& hub_options,
                      const std::vector<std::string>& env_words,
                      const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"env"};
  argv.insert(argv.end(), env_words.begin(), env_words.end());
  for (const std::string& word : ProgramCommand()) argv.push_back(word);
  argv.insert(argv.end(), args.begin(), args.end());
  return SpawnInSandbox(hub_options, argv);
}

RunResult RunScriptWithHubs(const std::vector<std::string>& hub_options, const std::string& script,
                            bool terminal_err) {
  std::string program;
  for (const std::string& word : ProgramCommand()) program += word + " ";
  return SpawnInSandbox(hub_options, {"/bin/sh", "-c", "NEXLI='" + program + "'; " + script},
                        terminal_err);
}

double RunnerAllowance() { return ProgramCommand().size() > 1 ? 3.0 : 0.0; }

std::vector<std::string> RequestBytes(const RunResult& run) {
  std::vector<std::string> bytes;
  for (const Request& request : run.requests) bytes.push_back(request.bytes);
  return bytes;
}

std::map<std::string, std::string> RequestsByDevice(const RunResult& run) {
  std::map<std::string, std::string> requests;
  for (const Request& request : run.requests) requests[request.device] += request.bytes;
  return requests;
}

std::string DumpField(const RunResult& run, const std::string& device, const std::string& field) {
  std::istringstream lines(run.dump);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, device.size() + 1, device + " ") != 0) continue;
    std::size_t at = line.find(" " + field + "=");
    if (at == std::string::npos) return "";
    at += field.size() + 2;
    if (line[at] == '"') {
      std::size_t end = line.find('"', at + 1);
      return line.substr(at + 1, end - at - 1);
    }
    return line.substr(at, line.find(' ', at) - at);
  }
  return "";
}

std::vector<RunResult> RunAllWithHubs(const std::vector<Invocation>& runs) {
  std::vector<RunResult> results(runs.size());
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i = next++; i < runs.size(); i = next++)
      results[i] = !runs[i].script.empty() ? RunScriptWithHubs(runs[i].hub_options, runs[i].script,
                                                               runs[i].terminal_err)
                   : runs[i].env_words.empty()
                       ? RunWithHubs(runs[i].hub_options, runs[i].args)
                       : RunWithHubs(runs[i].hub_options, runs[i].env_words, runs[i].args);
  };
  std::vector<std::thread> workers;
  for (std::size_t n = 0; n < 16 && n < runs.size(); ++n) workers.emplace_back(worker);
  for (std::thread& w : workers) w.join();
  return results;
}

double SecondsAfterLastRequest(const RunResult& run) {
  if (run.requests.empty()) return 0;
  std::string exited = DumpField(run, "command", "exited");
  double end = exited.empty() ? run.end_time : std::atof(exited.c_str());
  return end - run.requests.back().time;
}

// The program under test may also be named on the command line, as
// --program=PATH, --revision=N, --runner=WORDS and --hubsim=PATH; these set
// the environment variables of the same meaning.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const struct {
    const char* option;
    const char* variable;
  } options[] = {{"--program=", "NEXLI_PROGRAM"},
                 {"--revision=", "NEXLI_TEST_REVISION"},
                 {"--runner=", "NEXLI_RUNNER"},
                 {"--hubsim=", "HUBSIM"}};
  for (int i = 1; i < argc; ++i)
    for (const auto& o : options)
      if (std::strncmp(argv[i], o.option, std::strlen(o.option)) == 0)
        setenv(o.variable, argv[i] + std::strlen(o.option), 1);
  // The tests expect the status of a program left to its default; those of
  // the variable set it themselves.
  unsetenv("NEXLI_EXIT_STATUS");
#ifndef NEXLI_TSAN
  return RUN_ALL_TESTS();
#else
  // ThreadSanitizer: a program the tests start ends at its first report,
  // with status 66, and writes the report into a folder of the run's own
  // instead of a standard error that a test may not read (a command in a
  // script's background); any report there fails the run.
  char reports[] = "/tmp/nexli-tsan-XXXXXX";
  if (!mkdtemp(reports) || chmod(reports, 01777) != 0) return 1;
  setenv(
      "TSAN_OPTIONS",
      (EnvOr("TSAN_OPTIONS", "") + ":halt_on_error=1:exitcode=66:log_path=" + reports + "/report")
          .c_str(),
      1);
  int status = RUN_ALL_TESTS();
  for (const auto& file : std::filesystem::directory_iterator(reports)) {
    std::fprintf(stderr, "ThreadSanitizer report of a program the tests ran:\n%s\n",
                 ReadFile(file.path()).c_str());
    status = 1;
  }
  std::filesystem::remove_all(reports);
  return status;
#endif
}
