// The torqa binary end to end: each command's output and exit status, and
// bad input, against embedded namespaces in temporary directories.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

/// A temporary directory for one test, with a namespace path in it.
class cli_test : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torqa-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  /// The sample namespace of this test (fast password hashing).
  std::string ns(const char* options = "") const {
    return std::string("local[fasthash=1;schema=") + TORQA_SAMPLE_SCHEMA + options + "]:" + (dir / "ns").string();
  }

  /// Runs torqa with `args` in the test directory, `input` on standard
  /// input, the environment without TORQA_* variables except `env`.
  result run(const std::vector<std::string>& args, const std::string& input = "",
             const std::vector<std::string>& env = {"TORQA_PASSWORD=torqa"}) const {
    const fs::path in = dir / ".stdin", out = dir / ".stdout", err = dir / ".stderr";
    spit(in, input);

    const pid_t pid = fork();
    if (pid == 0) {
      const int fds[] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                         open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
      for (int i = 0; i < 3; ++i) dup2(fds[i], i);
      exec(args, env);
    }
    result r;
    r.status = wait_for(pid);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }

 public:
  /// In a child process: runs torqa in the test directory with `args`, the
  /// environment without TORQA_* variables except `env`, HOME the test
  /// directory.
  [[noreturn]] void exec(const std::vector<std::string>& args, const std::vector<std::string>& env) const {
    std::vector<std::string> envs(env);
    for (char** e = environ; *e != nullptr; ++e)
      if (std::strncmp(*e, "TORQA_", 6) != 0 && std::strncmp(*e, "HOME=", 5) != 0) envs.emplace_back(*e);
    envs.push_back("HOME=" + dir.string());
    std::vector<char*> argv{const_cast<char*>(TORQA_CLI)}, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (chdir(dir.c_str()) == 0) execve(TORQA_CLI, argv.data(), envp.data());
    _exit(127);
  }

  static int wait_for(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 protected:
  /// Runs a command on the test's namespace (made with `options`).
  result torqa(std::vector<std::string> args, const std::string& input = "") const {
    args.insert(args.begin(), {"--connect", ns(options.c_str())});
    return run(args, input);
  }

  std::string options;

  fs::path dir;
};

#define EXPECT_RUN(r, status_, out_, err_) \
  do {                                     \
    const result r_ = (r);                 \
    EXPECT_EQ(r_.status, status_);         \
    EXPECT_EQ(r_.out, out_);               \
    EXPECT_EQ(r_.err, err_);               \
  } while (0)

TEST_F(cli_test, help_version_and_command_line_errors) {
  EXPECT_RUN(run({"--version"}), 0, "torqa 0.1.0\n", "");
  const result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: torqa [OPTIONS] COMMAND [ARGUMENTS]\n", 0), 0u);
  for (const char* cmd : {"classes", "describe", "create", "show", "set", "call", "sql", "query", "read", "write",
                          "import", "shell", "help"}) {
    const result r = run({cmd, "--help"});
    EXPECT_EQ(r.status, 0) << cmd;
    EXPECT_EQ(r.out.rfind(std::string("Usage: torqa ") + cmd, 0), 0u) << cmd;
    EXPECT_EQ(run({"help", cmd}).out, r.out);
  }
  // Nothing of this connects: no namespace appears.
  EXPECT_FALSE(fs::exists(dir / "torqa-data"));

  EXPECT_RUN(run({}), 2, "", help.out);
  EXPECT_RUN(run({"frobnicate"}), 2, "", "torqa: unknown command 'frobnicate'\nTry 'torqa --help'.\n");
  EXPECT_RUN(run({"--colour", "classes"}), 2, "", "torqa: unknown option --colour\nTry 'torqa --help'.\n");
  EXPECT_RUN(run({"show", "--append", "Sample.Person", "1"}), 2, "",
             "torqa: option --append does not apply to show\nUsage: torqa show CLASS ID [PROPERTY]...\n");
  EXPECT_RUN(run({"describe"}), 2, "",
             "torqa: describe: wrong number of arguments (0)\nUsage: torqa describe CLASS\n");
  EXPECT_RUN(run({"--format", "xml", "classes"}), 2, "",
             "torqa: unknown format 'xml' (table, csv or json)\nUsage: torqa classes\n");
  EXPECT_RUN(run({"begin"}), 2, "", "torqa: begin works inside the shell only\nUsage: torqa begin\n");
}

TEST_F(cli_test, the_default_namespace_and_logins) {
  // No --connect: ./torqa-data, made from the sample schema found beside the binary.
  EXPECT_RUN(run({"classes"}), 0,
             "Class           Properties  Methods  Queries\n"
             "--------------  ----------  -------  -------\n"
             "Sample.Address           2        1        0\n"
             "Sample.Person           17        5        2\n"
             "(2 rows)\n",
             "");
  EXPECT_TRUE(fs::exists(dir / "torqa-data" / "schema.tq"));

  // A refused login names the server's code and never shows the password.
  const char* refused =
      "torqa: cannot connect to local[]:./torqa-data: error -1014: couldn't connect (wrong user or password; a new "
      "namespace has the user torqa with the password torqa)\n";
  EXPECT_RUN(run({"classes"}, "", {"TORQA_PASSWORD=s3cret-word"}), 1, "", refused);
  EXPECT_RUN(run({"--password", "s3cret-word", "classes"}, "", {}), 1, "", refused);
  EXPECT_RUN(run({"classes"}, "", {}), 1, "", refused);  // no password, no terminal to ask on
  EXPECT_RUN(run({"--user", "nobody", "classes"}), 1, "", refused);
  EXPECT_EQ(run({"--user", "torqa", "--password", "torqa", "classes"}, "", {}).status, 0);

  EXPECT_RUN(run({"--connect", "remote[]:x", "classes"}), 1, "",
             "torqa: listing classes needs an embedded namespace (local[...]:PATH); describe a class by its name\n");
}

TEST_F(cli_test, objects_are_created_shown_and_changed) {
  EXPECT_RUN(torqa({"create", "Sample.Address", "Street=1 Main St", "City=Springfield"}), 0, "1\n", "");
  EXPECT_RUN(torqa({"create", "Sample.Person", "Name=Zo\xC3\xAB", "Age=36", "Height=1.65", "Active=yes",
                    "Photo=00ff10", "Codes=[7, \"seven\"]", "Birthday=1990-12-10", "WakeUp=06:30",
                    "Created=2024-01-02 03:04:05", "Home=1"}),
             0, "1\n", "");
  EXPECT_RUN(torqa({"show", "Sample.Person", "1"}), 0,
             "ID        1\n"
             "Name      Zo\xC3\xAB\n"
             "Age       36\n"
             "Height    1.65\n"
             "Active    true\n"
             "Photo     00ff10\n"
             "Codes     [7, \"seven\"]\n"
             "Birthday  1990-12-10\n"
             "WakeUp    06:30:00\n"
             "Created   2024-01-02 03:04:05\n"
             "Home      1\n"
             "Spouse\n"
             "Tags      0 elements\n"
             "Friends   0 elements\n"
             "Scores    0 elements\n"
             "Notes     0 characters\n"
             "Picture   0 bytes\n"
             "Greeting  Hello, Zo\xC3\xAB\n",
             "");
  EXPECT_RUN(torqa({"--format", "json", "create", "Sample.Person"}), 0, "{\n  \"ID\": \"2\"\n}\n", "");
  EXPECT_RUN(torqa({"set", "Sample.Person", "1", "Age=37", "Spouse=2", "Height="}), 0, "", "");
  EXPECT_RUN(torqa({"--format", "json", "show", "Sample.Person", "1", "Age", "Height", "Spouse"}), 0,
             "{\n  \"ID\": \"1\",\n  \"Age\": 37,\n  \"Height\": null,\n  \"Spouse\": \"2\"\n}\n", "");
  EXPECT_RUN(torqa({"show", "Sample.Person", "1", "Name", "Active", "--format=csv"}), 0,
             "ID,Name,Active\n1,Zo\xC3\xAB,true\n", "");

  // Bad input changes nothing.
  EXPECT_RUN(torqa({"set", "Sample.Person", "1", "Name=X", "Age=old"}), 1, "",
             "torqa: Age: 'old' is not an integer\n");
  EXPECT_RUN(torqa({"set", "Sample.Person", "1", "Shoe=9"}), 1, "", "torqa: Sample.Person has no property Shoe\n");
  EXPECT_RUN(torqa({"set", "Sample.Person", "1", "Greeting=hi"}), 1, "",
             "torqa: Greeting is a calculated property and cannot be set\n");
  EXPECT_RUN(torqa({"set", "Sample.Person", "1", "Notes=hi"}), 1, "",
             "torqa: Notes is a character stream property and cannot be set (use torqa write)\n");
  EXPECT_RUN(torqa({"set", "Sample.Person", "1", "Age"}), 2, "",
             "torqa: expected PROPERTY=VALUE, got 'Age'\nUsage: torqa set CLASS ID PROPERTY=VALUE...\n");
  EXPECT_RUN(torqa({"create", "Sample.Person", "Home=42"}), 1, "",
             "torqa: Home: no Sample.Address with id 42 (error -9: object not found)\n");
  EXPECT_RUN(torqa({"show", "Sample.Nope", "1"}), 1, "", "torqa: class Sample.Nope does not exist\n");
  EXPECT_RUN(torqa({"show", "Sample.Person", "99"}), 1, "",
             "torqa: cannot open Sample.Person 99: error -9: object not found\n");
  EXPECT_RUN(torqa({"show", "Sample.Person", "1", "Name"}), 0, "ID    1\nName  Zo\xC3\xAB\n", "");
}

TEST_F(cli_test, methods_with_arguments_and_output_arguments) {
  ASSERT_EQ(torqa({"create", "Sample.Person", "Name=Ann", "Age=40"}).status, 0);
  EXPECT_RUN(torqa({"call", "--id", "1", "Sample.Person", "Describe", "Dr "}), 0,
             "result  Dr Ann (40)\nlength  11\n", "");
  EXPECT_RUN(torqa({"call", "Sample.Person", "Divide", "17", "-5", "--format", "json"}), 0,
             "{\n  \"result\": true,\n  \"quotient\": -4,\n  \"remainder\": -3\n}\n", "");
  // An instance method that changes its object: the object is saved.
  EXPECT_RUN(torqa({"call", "--id", "1", "Sample.Person", "Grow", "2"}), 0, "", "");
  EXPECT_RUN(torqa({"call", "--id", "1", "Sample.Person", "grow", "2", "--no-save"}), 0, "", "");
  EXPECT_RUN(torqa({"show", "Sample.Person", "1", "Age"}), 0, "ID   1\nAge  42\n", "");
  // A new object returned by a class method is saved and shown by its id.
  EXPECT_RUN(torqa({"call", "Sample.Person", "Make", "Kid", "3"}), 0, "result  2\n", "");
  EXPECT_RUN(torqa({"show", "Sample.Person", "2", "Name"}), 0, "ID    2\nName  Kid\n", "");

  EXPECT_RUN(torqa({"call", "Sample.Person", "Divide", "1", "0"}), 1, "", "torqa: error -1100: division by zero\n");
  EXPECT_RUN(torqa({"call", "Sample.Person", "%DeleteId", "99"}), 1, "",
             "torqa: %DeleteId: error -9: object not found\n");
  const std::string call_usage = "Usage: torqa call [--id ID] CLASS METHOD [ARG]...\n";
  EXPECT_RUN(torqa({"call", "Sample.Person", "Divide", "1"}), 2, "",
             "torqa: Divide takes 2 to 4 arguments (a, b, quotient, remainder), 1 given\n" + call_usage);
  EXPECT_RUN(torqa({"call", "--id", "1", "Sample.Person", "Grow", "1", "2"}), 2, "",
             "torqa: Grow takes 1 argument (years), 2 given\n" + call_usage);
  EXPECT_RUN(torqa({"call", "Sample.Person", "Grow", "1"}), 2, "",
             "torqa: Grow is an instance method: give the object with --id ID\n" + call_usage);
  EXPECT_RUN(torqa({"call", "--id", "1", "Sample.Person", "Divide", "1", "2"}), 2, "",
             "torqa: Divide is a class method: --id does not apply\n" + call_usage);
  EXPECT_RUN(torqa({"call", "Sample.Person", "Fly"}), 1, "", "torqa: Sample.Person has no method Fly\n");
  EXPECT_RUN(torqa({"call", "Sample.Person", "Divide", "x", "1"}), 1, "", "torqa: a: 'x' is not an integer\n");
}

TEST_F(cli_test, sql_with_typed_parameters_and_class_queries) {
  ASSERT_EQ(torqa({"import", "Sample.Person", "-"},
                  "Name,Age,Birthday,Height\nAnn,40,1984-01-02,1.5\nBob,25,,\n\"Cy, Jr\",61,2000-02-29,2\n")
                .status,
            0);
  EXPECT_RUN(torqa({"sql", "SELECT ID, Name, Age FROM Sample_Person WHERE Age > ? ORDER BY Age", "30"}), 0,
             "ID  Name    Age\n"
             "--  ------  ---\n"
             " 1  Ann      40\n"
             " 3  Cy, Jr   61\n"
             "(2 rows)\n",
             "");
  EXPECT_RUN(torqa({"--format", "csv", "sql", "SELECT Name, Birthday, Height FROM Sample_Person WHERE Birthday < ?",
                    "date:2001-01-01"}),
             0, "Name,Birthday,Height\nAnn,1984-01-02,1.5\n\"Cy, Jr\",2000-02-29,2\n", "");
  EXPECT_RUN(torqa({"--format", "json", "sql",
                    "SELECT Name, Age, Height FROM Sample_Person WHERE Age < ? AND Height > ? AND Name <> ? AND "
                    "Birthday IS NOT ?",
                    "int:5000000000", "double:1.6", "str:Ann", "null"}),
             0, "[\n  {\"Name\": \"Cy, Jr\", \"Age\": 61, \"Height\": 2}\n]\n", "");
  EXPECT_RUN(torqa({"sql", "UPDATE Sample_Person SET Age = ? WHERE Name = ?", "26", "Bob"}), 0, "", "");
  EXPECT_RUN(torqa({"query", "Sample.Person", "Older", "25", "--format", "csv"}), 0,
             "ID,Name,Age,Birthday\n2,Bob,26,\n1,Ann,40,1984-01-02\n3,\"Cy, Jr\",61,2000-02-29\n", "");
  EXPECT_RUN(torqa({"query", "Sample.Person", "ByName", "Nobody"}), 0, "ID  Name  Age\n--  ----  ---\n(0 rows)\n", "");

  EXPECT_RUN(torqa({"query", "Sample.Person", "Older"}), 2, "",
             "torqa: Older takes 1 parameter, 0 given\nUsage: torqa query CLASS QUERY [PARAMETER]...\n");
  EXPECT_RUN(torqa({"sql", "SELECT 1", "2"}), 2, "",
             "torqa: the statement takes 0 parameters, 1 given\nUsage: torqa sql STATEMENT [PARAMETER]...\n");
  EXPECT_RUN(torqa({"query", "Sample.Person", "Youngest"}), 1, "", "torqa: Sample.Person has no query Youngest\n");
  EXPECT_RUN(torqa({"sql", "SELECT Shoe FROM Sample_Person"}), 1, "",
             "torqa: the driver did not accept the statement (check the names: each class is the table "
             "Package_Class)\n");
  EXPECT_RUN(torqa({"sql", "SELECT ?", "date:2001-02-30"}), 1, "",
             "torqa: parameter 1: '2001-02-30' is not a calendar date\n");
}

TEST_F(cli_test, streams_from_standard_input_and_files) {
  ASSERT_EQ(torqa({"create", "Sample.Person", "Name=Ann"}).status, 0);
  // Over 65535 bytes of text with two- and three-byte characters, so that
  // pieces are cut between characters.
  std::string text;
  for (int i = 0; i < 9000; ++i) text += "l\xC3\xAFne \xE2\x82\xAC" + std::to_string(i) + "\n";
  ASSERT_GT(text.size(), 100000u);
  EXPECT_RUN(torqa({"write", "Sample.Person", "1", "Notes"}, text), 0, "", "");
  EXPECT_RUN(torqa({"read", "Sample.Person", "1", "Notes"}), 0, text, "");
  EXPECT_RUN(torqa({"write", "--append", "Sample.Person", "1", "Notes", "-"}, "tail"), 0, "", "");
  EXPECT_RUN(torqa({"read", "Sample.Person", "1", "Notes"}), 0, text + "tail", "");

  std::string bytes;
  for (int i = 0; i < 40000; ++i) bytes += static_cast<char>(i * 7 % 256);
  spit(dir / "picture.bin", bytes);
  EXPECT_RUN(torqa({"write", "Sample.Person", "1", "Picture", "picture.bin"}), 0, "", "");
  EXPECT_RUN(torqa({"read", "Sample.Person", "1", "Picture", "-o", "copy.bin"}), 0, "", "");
  EXPECT_EQ(slurp(dir / "copy.bin"), bytes);
  EXPECT_RUN(torqa({"show", "Sample.Person", "1", "Picture"}), 0, "ID       1\nPicture  40000 bytes\n", "");
  // Writing replaces the content.
  EXPECT_RUN(torqa({"write", "Sample.Person", "1", "Picture"}, "xy"), 0, "", "");
  EXPECT_RUN(torqa({"read", "Sample.Person", "1", "Picture"}), 0, "xy", "");

  EXPECT_RUN(torqa({"read", "Sample.Person", "1", "Name"}), 1, "",
             "torqa: Name is a stored property, not a stream\n");
  EXPECT_RUN(torqa({"write", "Sample.Person", "1", "Notes", "missing.txt"}), 1, "",
             "torqa: cannot read missing.txt: No such file or directory\n");
  EXPECT_RUN(torqa({"read", "Sample.Person", "1", "Notes", "extra"}), 2, "",
             "torqa: read: wrong number of arguments (4)\nUsage: torqa read CLASS ID PROPERTY\n");
}

TEST_F(cli_test, csv_import_reports_and_skips_malformed_rows) {
  spit(dir / "people.csv",
       "Name,Age,Birthday,Home\n"
       "Ann,40,1984-01-02,\n"
       "Bob,old,,\n"
       "\"Cy, Jr\",61,2000-02-30,\n"
       "Di,29\n"
       "\"Ed\"\"s,51,,\n"
       "Fay,33,,7\n"
       "\"Gil\nGreen\",70,,\n"
       "\n"
       "Hal,x\"y,,\n"
       "Ivy,25,2001-03-04,\n");
  // Line 6 opens a quote that the quote starting line 8 closes, followed by
  // text: rejected, and reading goes on at line 7.
  EXPECT_RUN(torqa({"import", "Sample.Person", "people.csv"}), 1, "3 rows saved, 6 rejected\n",
             "people.csv:3: Age: 'old' is not an integer\n"
             "people.csv:4: Birthday: '2000-02-30' is not a calendar date\n"
             "people.csv:5: expected 4 fields, found 2\n"
             "people.csv:6: text after a closing quote\n"
             "people.csv:7: Home: no Sample.Address with id 7 (error -9: object not found)\n"
             "people.csv:11: quote inside an unquoted field\n");
  EXPECT_RUN(torqa({"--format", "csv", "sql", "SELECT Name, Age, Birthday FROM Sample_Person ORDER BY ID"}), 0,
             "Name,Age,Birthday\nAnn,40,1984-01-02\n\"Gil\nGreen\",70,\nIvy,25,2001-03-04\n", "");

  // A header that does not fit the class imports nothing.
  spit(dir / "bad.csv", "Name,Shoe\nZed,9\n");
  EXPECT_RUN(torqa({"import", "Sample.Person", "bad.csv"}), 1, "", "torqa: Sample.Person has no property Shoe\n");
  spit(dir / "calc.csv", "Name,Greeting\nZed,hi\n");
  EXPECT_RUN(torqa({"import", "Sample.Person", "calc.csv"}), 1, "",
             "torqa: Greeting is a calculated property and cannot be imported\n");
  spit(dir / "empty.csv", "");
  EXPECT_RUN(torqa({"import", "Sample.Person", "empty.csv"}), 1, "",
             "torqa: empty.csv is empty: the first line names the properties\n");
  EXPECT_RUN(torqa({"import", "Sample.Person", "nowhere.csv"}), 1, "",
             "torqa: cannot read nowhere.csv: No such file or directory\n");
  EXPECT_RUN(torqa({"import", "Sample.Nope", "bad.csv"}), 1, "", "torqa: class Sample.Nope does not exist\n");
  EXPECT_RUN(torqa({"sql", "SELECT COUNT(*) AS n FROM Sample_Person"}), 0, "n\n-\n3\n(1 row)\n", "");

  EXPECT_RUN(torqa({"import", "Sample.Address", "-"}, "City,Street\r\nParis,\"1, Rue \"\"X\"\"\"\r\n"), 0,
             "1 row saved, 0 rejected\n", "");
  EXPECT_RUN(torqa({"call", "--id", "1", "Sample.Address", "Line"}), 0, "result  1, Rue \"X\", Paris\n", "");
}

TEST_F(cli_test, the_shell_runs_a_script_on_one_session) {
  const result r = torqa({"shell"},
                         "# a comment\n"
                         "create Sample.Person Name=Ann Age=40\n"
                         "begin\n"
                         "set Sample.Person 1 'Name=Ann Lee'\n"
                         "show Sample.Person 1 Name\n"
                         "rollback\n"
                         "show Sample.Person 1 Name --format csv\n"
                         "describe\n"
                         "call Sample.Person Divide 7 2\n"
                         "shell\n"
                         "show \"unclosed\n"
                         "--connect elsewhere classes\n"
                         "quit\n"
                         "show Sample.Person 1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "1\n"
            "ID    1\nName  Ann Lee\n"
            "ID,Name\n1,Ann\n"
            "result     true\nquotient   3\nremainder  1\n");
  EXPECT_EQ(r.err,
            "torqa: describe: wrong number of arguments (0)\nUsage: torqa describe CLASS\n"
            "torqa: already in the shell\nUsage: torqa shell\n"
            "torqa: a quote (\") is not closed\n"
            "torqa: --connect cannot change inside the shell\nUsage: torqa classes\n");
  EXPECT_RUN(torqa({"shell"}, "show Sample.Person 1 Age\n"), 0, "ID   1\nAge  40\n", "");
}

TEST_F(cli_test, a_16_bit_namespace_round_trips_text) {
  options = ";unicode=1";
  const std::string name = "\xF0\x9F\x98\x80 Zo\xC3\xAB \xE2\x82\xAC";
  EXPECT_RUN(torqa({"create", "Sample.Person", "Name=" + name, "Codes=[1, \"\xC3\xA9\"]"}), 0, "1\n", "");
  EXPECT_RUN(torqa({"show", "Sample.Person", "1", "Name", "Codes", "Greeting"}), 0,
             "ID        1\nName      " + name + "\nCodes     [1, \"\xC3\xA9\"]\nGreeting  Hello, " + name + "\n", "");
  EXPECT_RUN(torqa({"write", "Sample.Person", "1", "Notes"}, name + "\n"), 0, "", "");
  EXPECT_RUN(torqa({"read", "Sample.Person", "1", "Notes"}), 0, name + "\n", "");
  EXPECT_RUN(torqa({"--format", "csv", "query", "Sample.Person", "ByName", name}), 0, "ID,Name,Age\n1," + name + ",\n",
             "");
}

/// torqa on a pseudo-terminal: what it writes, read until an expected text.
class terminal {
 public:
  terminal(const cli_test& t, const std::vector<std::string>& args, const std::vector<std::string>& env) {
    pid_ = forkpty(&fd_, nullptr, nullptr, nullptr);
    if (pid_ == 0) t.exec(args, env);
  }
  ~terminal() {
    if (fd_ >= 0) close(fd_);
  }
  void type(const std::string& keys) { ASSERT_EQ(write(fd_, keys.data(), keys.size()), ssize_t(keys.size())); }
  /// Everything written up to and including `text` (all of it when `text`
  /// does not come within a minute).
  std::string until(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (seen_.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      seen_.append(buf, static_cast<std::size_t>(n));
    }
    const std::size_t end = seen_.find(text);
    const std::string part = end == std::string::npos ? seen_ : seen_.substr(0, end + text.size());
    seen_.erase(0, part.size());
    return part;
  }
  int status() { return cli_test::wait_for(pid_); }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string seen_;
};

TEST_F(cli_test, the_shell_on_a_terminal_asks_the_password_completes_names_and_keeps_history) {
  terminal t(*this, {"--connect", ns(), "shell"}, {});
  EXPECT_NE(t.until("Password for torqa: ").find("Password for torqa: "), std::string::npos);
  t.type("torqa\r");
  // The password is not echoed.
  EXPECT_EQ(t.until("Connected to "), "\r\nConnected to ");
  t.until("torqa> ");
  // The line is redrawn from the cursor on: the completed rest shows.
  t.type("desc\t");
  EXPECT_NE(t.until("ribe ").find("ribe "), std::string::npos);
  t.type("Sample.P\t");
  EXPECT_NE(t.until("erson ").find("erson "), std::string::npos);
  t.type("\r");
  EXPECT_NE(t.until("(32 rows)").find("class method  Divide"), std::string::npos);
  t.until("torqa> ");
  t.type("call Sample.Person Di\t7 2\r");
  EXPECT_NE(t.until("remainder  1").find("quotient   3"), std::string::npos);
  t.until("torqa> ");
  t.type("quit\r");
  EXPECT_EQ(t.status(), 0);
  const std::string history = slurp(dir / ".torqa_history");
  EXPECT_NE(history.find("describe\\040Sample.Person"), std::string::npos) << history;
  EXPECT_NE(history.find("call\\040Sample.Person\\040Divide\\0407\\0402"), std::string::npos) << history;
}

}  // namespace
