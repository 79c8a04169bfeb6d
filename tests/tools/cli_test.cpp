// The torqa binary end to end: each command's output and exit status, and
// bad input, against embedded namespaces in temporary directories.
#include "support/daemon_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct result {
  int status = -1;
  std::string out, err;
  bool operator==(const result&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const result& r) {
    return os << "status " << r.status << "\nout: " << r.out << "\nerr: " << r.err;
  }
};
#define EXPECT_RUN(r, status, out, err) EXPECT_EQ(r, (result{status, out, err}))

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void spit(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

int wait_for(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/// Each test runs torqa in its own temporary directory, which is also HOME,
/// with no TORQA_* variables but those it gives.
class cli_test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "torqa-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  /// The sample namespace of this test (fast password hashing).
  std::string ns() const {
    return std::string("local[fasthash=1;schema=") + TORQA_SAMPLE_SCHEMA + "]:" + (dir / "ns").string();
  }

  /// In a child process: becomes torqa with `args` and `env`.
  [[noreturn]] void exec(const std::vector<std::string>& args, std::vector<std::string> env) const {
    for (char** e = environ; *e != nullptr; ++e)
      if (std::strncmp(*e, "TORQA_", 6) != 0 && std::strncmp(*e, "HOME=", 5) != 0) env.emplace_back(*e);
    env.push_back("HOME=" + dir.string());
    std::vector<char*> argv{const_cast<char*>(TORQA_CLI)}, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (file_size_limit != RLIM_INFINITY) {
      const rlimit limit{file_size_limit, file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
    }
    if (chdir(dir.c_str()) == 0) execve(TORQA_CLI, argv.data(), envp.data());
    _exit(127);
  }

  /// Runs torqa; its output goes to `output` when given.
  result run(const std::vector<std::string>& args, const std::string& input = "",
             const std::vector<std::string>& env = {"TORQA_PASSWORD=torqa"}, const char* output = nullptr) const {
    const fs::path in = dir / ".stdin", out = dir / ".stdout", err = dir / ".stderr";
    spit(in, input);
    spit(out, "");
    const pid_t pid = fork();
    if (pid == 0) {
      const int fds[] = {open(in.c_str(), O_RDONLY), open(output ? output : out.c_str(), O_WRONLY | O_TRUNC),
                         open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
      for (int i = 0; i < 3; ++i) dup2(fds[i], i);
      exec(args, env);
    }
    const int status = wait_for(pid);
    return {status, slurp(out), slurp(err)};
  }

  /// Runs a command on the test's namespace.
  result torqa(std::vector<std::string> args, const std::string& input = "") const {
    args.insert(args.begin(), {"--connect", ns()});
    return run(args, input);
  }

  fs::path dir;
  rlim_t file_size_limit = RLIM_INFINITY;  ///< largest file torqa may write
};

/// Commands on the test's namespace that fail with a status and a message, printing nothing.
struct refused {
  std::vector<std::string> args;
  int status;
  std::string err;
};
#define EXPECT_REFUSED(...) \
  for (const refused& c : std::initializer_list<refused>{__VA_ARGS__}) EXPECT_RUN(torqa(c.args), c.status, "", c.err)

TEST_F(cli_test, help_version_and_command_line_errors) {
  EXPECT_RUN(run({"--version"}), 0, "torqa 0.1.0\n", "");
  EXPECT_RUN(run({"--version"}, "", {}, "/dev/full"), 1, "", "torqa: cannot write the output: No space left on device\n");
  const result help = run({"--help"});
  EXPECT_TRUE(help.status == 0 && help.out.starts_with("Usage: torqa [OPTIONS] COMMAND [ARGUMENTS]\n")) << help;
  for (const char* cmd : {"classes", "describe", "create", "show", "set", "call", "sql", "query", "read", "write",
                          "import", "elements", "generate", "shell", "help"}) {
    const result r = run({cmd, "--help"});
    EXPECT_TRUE(r.status == 0 && r.out.starts_with(std::string("Usage: torqa ") + cmd)) << cmd;
    EXPECT_EQ(run({"help", cmd}).out, r.out);
  }
  EXPECT_RUN(run({}), 2, "", help.out);
  const std::pair<std::vector<std::string>, const char*> errors[] = {
      {{"frobnicate"}, "torqa: unknown command 'frobnicate'\nTry 'torqa --help'.\n"},
      {{"--colour", "classes"}, "torqa: unknown option --colour\nTry 'torqa --help'.\n"},
      {{"show", "--append", "Sample.Person", "1"},
       "torqa: option --append does not apply to show\nUsage: torqa show CLASS ID [PROPERTY]...\n"},
      {{"describe"}, "torqa: describe: wrong number of arguments (0)\nUsage: torqa describe CLASS\n"},
      {{"--format", "xml", "classes"}, "torqa: unknown format 'xml' (table, csv or json)\nUsage: torqa classes\n"},
      {{"begin"}, "torqa: begin works inside the shell only\nUsage: torqa begin\n"},
      {{"generate", "--all", "Sample.Person"},
       "torqa: generate: --all takes no class names\nUsage: torqa generate [--output DIR] [--all] [CLASS]...\n"},
      {{"generate"}, "torqa: generate: name the classes, or --all\nUsage: torqa generate [--output DIR] [--all] [CLASS]...\n"}};
  for (const auto& [args, err] : errors) EXPECT_RUN(run(args), 2, "", err);
  EXPECT_FALSE(fs::exists(dir / "torqa-data"));  // none of this connects
}

TEST_F(cli_test, the_default_namespace_and_logins) {
  // No --connect: ./torqa-data, made from the sample schema found beside the binary.
  EXPECT_RUN(run({"classes"}), 0,
             "Class           Properties  Methods  Queries\n--------------  ----------  -------  -------\n"
             "Sample.Address           2        1        0\nSample.Person           17        5        2\n(2 rows)\n",
             "");
  EXPECT_TRUE(fs::exists(dir / "torqa-data" / "schema.tq"));

  // A refused login names the server's code and the driver's reason, and never shows the password.
  const char* refusal =
      "torqa: cannot connect to local[]:./torqa-data: error -1014: couldn't connect: unknown user or wrong password "
      "(a new namespace has the user torqa with the password torqa)\n";
  EXPECT_RUN(run({"classes"}, "", {"TORQA_PASSWORD=s3cret-word"}), 1, "", refusal);
  EXPECT_RUN(run({"classes"}, "", {}), 1, "", refusal);  // no password, no terminal to ask on
  EXPECT_EQ(run({"--user", "torqa", "--password", "torqa", "classes"}, "", {}).status, 0);
  fs::create_directory(dir / "bad");
  spit(dir / "bad" / "schema.tq", "class Sample.A\n  property X: strng\nend class\n");
  const result bad_schema = run({"--connect", "local[]:bad", "classes"});
  EXPECT_EQ(bad_schema.status, 1);
  EXPECT_EQ(bad_schema.err.substr(bad_schema.err.find("/bad/")), "/bad/schema.tq: schema line 2: unknown type 'strng'\n")
      << bad_schema.err;
  EXPECT_RUN(run({"--connect", "remote[]:x", "classes"}), 1, "",
             "torqa: cannot connect to remote[]:x: error -1015: couldn't connect: bad port '' for host remote\n");
}

TEST_F(cli_test, users_are_managed_by_torqa_and_passwords_stay_off_the_command_line) {
  const std::string refused_by_server =
      "torqa: the server refused to add user bob (only the user torqa manages users; a user is added once, and "
      "torqa stays)\n";
  EXPECT_RUN(torqa({"user", "add", "ann"}, "first\n"), 0, "added user ann\n", "");
  spit(dir / "ann.pw", "first\n");
  const auto as_ann = [&](std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--connect", ns(), "--user", "ann", "--password-file", (dir / "ann.pw").string()});
    return run(args, input, {});
  };
  EXPECT_EQ(as_ann({"sql", "SELECT 1"}).status, 0);
  EXPECT_RUN(as_ann({"user", "add", "bob"}, "pw\n"), 1, "", refused_by_server);
  EXPECT_RUN(torqa({"user", "passwd", "ann"}, "second\n"), 0, "changed the password of ann\n", "");
  EXPECT_EQ(as_ann({"sql", "SELECT 1"}).status, 1);
  EXPECT_RUN(torqa({"user", "remove", "ann"}), 0, "removed user ann\n", "");
  EXPECT_RUN(torqa({"user", "add", "bob"}, ""), 1, "", "torqa: a password may not be empty\n");
  EXPECT_REFUSED({{"user", "remove", "torqa"}, 1,
                  "torqa: the server refused to remove user torqa (only the user torqa manages users; a user is "
                  "added once, and torqa stays)\n"},
                 {{"user", "rename", "ann"}, 2,
                  "torqa: user: the action is add, passwd or remove, not 'rename'\n"
                  "Usage: torqa user add|passwd|remove NAME\n"});
  EXPECT_RUN(run({"--password-file", "missing", "classes"}, "", {}), 1, "",
             "torqa: cannot read a password from missing\n");
}

TEST_F(cli_test, objects_are_created_shown_and_changed) {
  EXPECT_RUN(torqa({"create", "Sample.Address", "Street=1 Main St", "City=Springfield"}), 0, "1\n", "");
  EXPECT_RUN(torqa({"create", "Sample.Person", "Name=Zo\xC3\xAB", "Age=36", "Height=1.65", "Active=yes",
                    "Photo=00ff10", "Codes=[7, \"seven\"]", "Birthday=1990-12-10", "WakeUp=06:30",
                    "Created=2024-01-02 03:04:05", "Home=1"}),
             0, "1\n", "");
  EXPECT_RUN(torqa({"show", "Sample.Person", "1"}), 0,
             "ID        1\nName      Zo\xC3\xAB\nAge       36\nHeight    1.65\nActive    true\nPhoto     00ff10\n"
             "Codes     [7, \"seven\"]\nBirthday  1990-12-10\nWakeUp    06:30:00\nCreated   2024-01-02 03:04:05\n"
             "Home      1\nSpouse\nTags      0 elements\nFriends   0 elements\nScores    0 elements\n"
             "Notes     0 characters\nPicture   0 bytes\nGreeting  Hello, Zo\xC3\xAB\n",
             "");
  EXPECT_RUN(torqa({"--format", "json", "create", "Sample.Person"}), 0, "{\n  \"ID\": 2\n}\n", "");
  EXPECT_RUN(torqa({"set", "Sample.Person", "1", "Age=37", "Spouse=2", "Height="}), 0, "", "");
  EXPECT_RUN(torqa({"--format", "json", "show", "Sample.Person", "1", "Age", "Height", "Spouse"}), 0,
             "{\n  \"ID\": 1,\n  \"Age\": 37,\n  \"Height\": null,\n  \"Spouse\": 2\n}\n", "");

  EXPECT_REFUSED(
      {{"set", "Sample.Person", "1", "Name=X", "Age=old"}, 1, "torqa: Age: 'old' is not an integer\n"},
      {{"set", "Sample.Person", "1", "Shoe=9"}, 1, "torqa: Sample.Person has no property Shoe\n"},
      {{"set", "Sample.Person", "1", "Greeting=hi"}, 1, "torqa: Greeting is a calculated property and cannot be set\n"},
      {{"set", "Sample.Person", "1", "Notes=hi"}, 1,
       "torqa: Notes is a character stream property and cannot be set (use torqa write)\n"},
      {{"set", "Sample.Person", "1", "Age"}, 2,
       "torqa: expected PROPERTY=VALUE, got 'Age'\nUsage: torqa set CLASS ID PROPERTY=VALUE...\n"},
      {{"show", "Sample.Nope", "1"}, 1, "torqa: class Sample.Nope does not exist\n"},
      {{"generate", "Sample.Nope"}, 1, "torqa: class Sample.Nope does not exist\n"},
      {{"show", "Sample.Person", "99"}, 1, "torqa: cannot open Sample.Person 99: error -9: object not found\n"},
      {{"read", "Sample.Person", "1", "Name"}, 1, "torqa: Name is a stored property, not a stream\n"},
      {{"write", "Sample.Person", "1", "Notes", "missing.txt"}, 1,
       "torqa: cannot read missing.txt: No such file or directory\n"});
  // Bad input changed nothing.
  EXPECT_RUN(torqa({"show", "Sample.Person", "1", "Name"}), 0, "ID    1\nName  Zo\xC3\xAB\n", "");
}

TEST_F(cli_test, long_values_show_and_what_cannot_be_read_is_named) {
  const std::string name(40000, 'n');  // over one reply's 32768 bytes, within one value's 65535
  ASSERT_EQ(torqa({"create", "Sample.Person", "Name=" + name, "Age=3"}).status, 0);
  EXPECT_RUN(torqa({"show", "Sample.Person", "1", "Name", "Age"}), 0, "ID    1\nName  " + name + "\nAge   3\n", "");
  // The calculated Greeting is longer than a reply: it alone is missing.
  EXPECT_RUN(torqa({"--format", "csv", "show", "Sample.Person", "1", "Age", "Greeting", "Tags"}), 1,
             "ID,Age,Greeting,Tags\n1,3,,0 elements\n",
             "torqa: Greeting cannot be shown: error -1011: result too long for one reply\n");
}

TEST_F(cli_test, collection_elements_are_listed_and_changed) {
  ASSERT_EQ(torqa({"create", "Sample.Person", "Name=Ann"}).status, 0);
  ASSERT_EQ(torqa({"create", "Sample.Person", "Name=Bob"}).status, 0);
  EXPECT_RUN(torqa({"elements", "Sample.Person", "1", "Tags", "+=red", "+=blue", "1=green", "3=new", "2="}), 0, "",
             "");
  EXPECT_RUN(torqa({"elements", "Sample.Person", "1", "Tags"}), 0,
             "Key  Element\n---  -------\n  1  green\n  2  new\n(2 rows)\n", "");
  EXPECT_RUN(torqa({"elements", "Sample.Person", "1", "Friends", "+=2", "+=1"}), 0, "", "");
  EXPECT_RUN(torqa({"--format", "json", "elements", "Sample.Person", "1", "Friends"}), 0,
             "[\n  {\"Key\": 1, \"Element\": 2},\n  {\"Key\": 2, \"Element\": 1}\n]\n", "");
  EXPECT_RUN(torqa({"elements", "Sample.Person", "1", "Scores", "math=5", "art=7", "math="}), 0, "", "");
  EXPECT_RUN(torqa({"--format", "csv", "elements", "Sample.Person", "1", "Scores"}), 0, "Key,Element\nart,7\n", "");

  const std::string usage = "Usage: torqa elements CLASS ID PROPERTY [KEY=VALUE|+=VALUE|KEY=]...\n";
  EXPECT_REFUSED(
      {{"elements", "Sample.Person", "1", "Tags", "+=x", "9=far"}, 1,
       "torqa: element 9: error -1007: no element at position 9\n"},
      {{"elements", "Sample.Person", "1", "Tags", "5="}, 1, "torqa: no element 5\n"},
      {{"elements", "Sample.Person", "1", "Tags", "one=x"}, 1, "torqa: key 'one' is not an integer\n"},
      {{"elements", "Sample.Person", "1", "Friends", "+=9"}, 1,
       "torqa: +: no Sample.Person with id 9 (error -9: object not found)\n"},
      {{"elements", "Sample.Person", "1", "Scores", "x=seven"}, 1, "torqa: x: 'seven' is not an integer\n"},
      {{"elements", "Sample.Person", "1", "Scores", "+=4"}, 2,
       "torqa: an array's elements have keys: KEY=VALUE\n" + usage},
      {{"elements", "Sample.Person", "1", "Tags", "red"}, 2,
       "torqa: expected KEY=VALUE, +=VALUE or KEY=, got 'red'\n" + usage},
      {{"elements", "Sample.Person", "1", "Name"}, 1, "torqa: Name is a stored property, not a collection\n"});
  // A failed change saves nothing, not even the changes before it.
  EXPECT_RUN(torqa({"show", "Sample.Person", "1", "Tags", "Scores"}), 0,
             "ID      1\nTags    2 elements\nScores  1 element\n", "");
}

TEST_F(cli_test, streams_from_standard_input_and_files) {
  ASSERT_EQ(torqa({"create", "Sample.Person"}).status, 0);
  // Over 65535 bytes of text with two- and three-byte characters, so that
  // pieces are cut between characters.
  std::string text, bytes;
  for (int i = 0; i < 9000; ++i) text += "l\xC3\xAFne \xE2\x82\xAC" + std::to_string(i) + "\n";
  EXPECT_RUN(torqa({"write", "Sample.Person", "1", "Notes"}, text), 0, "", "");
  EXPECT_RUN(torqa({"write", "--append", "Sample.Person", "1", "Notes", "-"}, "tail"), 0, "", "");
  EXPECT_RUN(torqa({"read", "Sample.Person", "1", "Notes"}), 0, text + "tail", "");
  for (int i = 0; i < 40000; ++i) bytes += static_cast<char>(i * 7 % 256);
  spit(dir / "picture.bin", bytes);
  EXPECT_RUN(torqa({"write", "Sample.Person", "1", "Picture", "picture.bin"}), 0, "", "");
  EXPECT_RUN(torqa({"read", "Sample.Person", "1", "Picture", "-o", "copy.bin"}), 0, "", "");
  EXPECT_EQ(slurp(dir / "copy.bin"), bytes);
  EXPECT_RUN(torqa({"write", "Sample.Person", "1", "Picture"}, "xy"), 0, "", "");  // replaces the content
  EXPECT_RUN(torqa({"read", "Sample.Person", "1", "Picture"}), 0, "xy", "");
}

TEST_F(cli_test, methods_with_arguments_and_output_arguments) {
  ASSERT_EQ(torqa({"create", "Sample.Person", "Name=Ann", "Age=40"}).status, 0);
  EXPECT_RUN(torqa({"call", "--id", "1", "Sample.Person", "Describe", "Dr "}), 0,
             "result  Dr Ann (40)\nlength  11\n", "");
  // An instance method that changes its object: the object is saved, unless --no-save.
  EXPECT_RUN(torqa({"call", "--id", "1", "Sample.Person", "Grow", "2"}), 0, "", "");
  EXPECT_RUN(torqa({"call", "--id", "1", "Sample.Person", "grow", "2", "--no-save"}), 0, "", "");
  EXPECT_RUN(torqa({"show", "Sample.Person", "1", "Age"}), 0, "ID   1\nAge  42\n", "");
  // A new object returned by a class method is saved and shown by its id.
  EXPECT_RUN(torqa({"call", "Sample.Person", "Make", "Kid", "3"}), 0, "result  2\n", "");
  EXPECT_RUN(torqa({"show", "Sample.Person", "2", "Name"}), 0, "ID    2\nName  Kid\n", "");

  const std::string usage = "Usage: torqa call [--id ID] CLASS METHOD [ARG]...\n";
  EXPECT_REFUSED(
      {{"call", "Sample.Person", "Divide", "1", "0"}, 1, "torqa: error -1100: division by zero\n"},
      {{"call", "Sample.Person", "%DeleteId", "99"}, 1, "torqa: %DeleteId: error -9: object not found\n"},
      {{"call", "Sample.Person", "Divide", "1"}, 2,
       "torqa: Divide takes 2 to 4 arguments (a, b, quotient, remainder), 1 given\n" + usage},
      {{"call", "Sample.Person", "Grow", "1"}, 2,
       "torqa: Grow is an instance method: give the object with --id ID\n" + usage},
      {{"call", "--id", "1", "Sample.Person", "Divide", "1", "2"}, 2,
       "torqa: Divide is a class method: --id does not apply\n" + usage},
      {{"call", "Sample.Person", "Fly"}, 1, "torqa: Sample.Person has no method Fly\n"});
}

TEST_F(cli_test, what_methods_print_is_shown) {
  spit(dir / "echo.tq",
       "class T.Echo\n  property Name: string\n"
       "  class method Say(text: string): integer\n    print(\"said\", text)\n    print(42)\n    return #text\n"
       "  end method\n"
       "  class method Fail()\n    print(\"about to fail\")\n    torqa.error(-1200, \"on purpose\")\n  end method\n"
       "end class\n");
  const std::string ns = "local[fasthash=1;schema=" + (dir / "echo.tq").string() + "]:" + (dir / "echo").string();
  EXPECT_RUN(run({"--connect", ns, "call", "T.Echo", "Say", "hi"}), 0, "said\thi\n42\nresult  2\n", "");
  EXPECT_RUN(run({"--connect", ns, "--format", "json", "call", "T.Echo", "Say", "hi"}), 0,
             "{\n  \"result\": 2,\n  \"output\": \"said\\thi\\n42\\n\"\n}\n", "");
  EXPECT_RUN(run({"--connect", ns, "call", "T.Echo", "Fail"}), 1, "about to fail\n",
             "torqa: error -1200: on purpose\n");
}

TEST_F(cli_test, csv_import_then_sql_with_typed_parameters_and_class_queries) {
  spit(dir / "people.csv",
       "Name,Age,Birthday,Home\nAnn,40,1984-01-02,\nBob,old,,\n\"Cy, Jr\",61,2000-02-30,\nDi,29\nFay,33,,7\n"
       "\"Gil\nGreen\",70,,\n\nIvy,25,2001-03-04,\n");
  EXPECT_RUN(torqa({"import", "Sample.Person", "people.csv"}), 1, "3 rows saved, 4 rejected\n",
             "people.csv:3: Age: 'old' is not an integer\n"
             "people.csv:4: Birthday: '2000-02-30' is not a calendar date\n"
             "people.csv:5: expected 4 fields, found 2\n"
             "people.csv:6: Home: no Sample.Address with id 7 (error -9: object not found)\n");
  EXPECT_RUN(torqa({"--format", "csv", "sql", "SELECT Name, Age, Birthday FROM Sample_Person WHERE Birthday < ? OR Age > ?",
                    "date:2002-01-01", "69"}),
             0, "Name,Age,Birthday\nAnn,40,1984-01-02\n\"Gil\nGreen\",70,\nIvy,25,2001-03-04\n", "");
  EXPECT_RUN(torqa({"--format", "json", "sql",
                    "SELECT Name, Age FROM Sample_Person WHERE Age < ? AND Age > ? AND Name <> ? AND Birthday IS ?",
                    "int:5000000000", "double:30.5", "str:Ann", "null"}),
             0, "[\n  {\"Name\": \"Gil\\nGreen\", \"Age\": 70}\n]\n", "");
  EXPECT_RUN(torqa({"--format", "csv", "query", "Sample.Person", "Older", "30"}), 0,
             "ID,Name,Age,Birthday\n1,Ann,40,1984-01-02\n2,\"Gil\nGreen\",70,\n", "");

  // A header that does not fit the class imports nothing.
  spit(dir / "calc.csv", "Name,Greeting\nZed,hi\n");
  spit(dir / "empty.csv", "");
  EXPECT_REFUSED(
      {{"import", "Sample.Person", "calc.csv"}, 1, "torqa: Greeting is a calculated property and cannot be imported\n"},
      {{"import", "Sample.Person", "empty.csv"}, 1, "torqa: empty.csv is empty: the first line names the properties\n"},
      {{"query", "Sample.Person", "Older"}, 2,
       "torqa: Older takes 1 parameter, 0 given\nUsage: torqa query CLASS QUERY [PARAMETER]...\n"},
      {{"sql", "SELECT 1", "2"}, 2,
       "torqa: the statement takes 0 parameters, 1 given\nUsage: torqa sql STATEMENT [PARAMETER]...\n"},
      {{"query", "Sample.Person", "Youngest"}, 1, "torqa: Sample.Person has no query Youngest\n"},
      {{"sql", "SELECT Shoe FROM Sample_Person"}, 1, "torqa: error -1010: no such column: Shoe\n"},
      {{"sql", "SELEC 1"}, 1, "torqa: error -1010: near \"SELEC\": syntax error\n"},
      {{"sql", "INSERT INTO Sample_Person (ID, Name) VALUES (1, 'again')"}, 1,
       "torqa: error -1010: UNIQUE constraint failed: Sample_Person.ID\n"},
      {{"sql", "SELECT ?", "date:2001-02-30"}, 1, "torqa: parameter 1: '2001-02-30' is not a calendar date\n"});
  EXPECT_RUN(torqa({"sql", "UPDATE Sample_Person SET Age = 41 WHERE ID = 1"}), 0, "", "");  // no rows, no failure
  EXPECT_RUN(torqa({"sql", "SELECT COUNT(*) AS n FROM Sample_Person"}), 0, "n\n-\n3\n(1 row)\n", "");

  EXPECT_RUN(torqa({"import", "Sample.Address", "-"}, "City,Street\r\nParis,\"1, Rue \"\"X\"\"\"\r\n"), 0,
             "1 row saved, 0 rejected\n", "");
  fs::create_directory(dir / "folder.csv");
  EXPECT_RUN(torqa({"import", "Sample.Address", "folder.csv"}), 1, "",
             "torqa: folder.csv is a folder: give a CSV file\n");
}

TEST_F(cli_test, import_saves_in_batches_that_lose_only_the_refused_row) {
  // Row 3 is refused while its batch is open: the batch is undone and saved
  // again without it.
  const std::string rows = "City,Street\nA,1\nB," + std::string(70000, 's') + "\nC,3\n";
  EXPECT_RUN(torqa({"import", "Sample.Address", "-"}, rows), 1, "2 rows saved, 1 rejected\n",
             "-:3: error -1000: value too long for one parameter\n");
  EXPECT_RUN(torqa({"--format", "csv", "sql", "SELECT City, Street FROM Sample_Address"}), 0,
             "City,Street\nA,1\nC,3\n", "");

  // A full disk fails every batch alike: the import stops after five.
  std::string many = "Name,Age\n";
  for (int i = 0; i < 6000; ++i) many += "Person " + std::to_string(i) + "," + std::to_string(i % 90) + "\n";
  spit(dir / "many.csv", many);
  file_size_limit = 100 * 1024;
  const result r = torqa({"import", "Sample.Person", "many.csv"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.ends_with(" rows saved, 2500 rejected\n")) << r;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 6) << r;
  EXPECT_NE(r.err.find("\ntorqa: stopped after 5 failures in a row with the same error (error "),
            std::string::npos) << r;
}

TEST_F(cli_test, the_shell_runs_a_script_on_one_session) {
  const result r = torqa({"shell"},
                         "# a comment\ncreate Sample.Person Name=Ann Age=40\nbegin\nset Sample.Person 1 'Name=Ann Lee'\n"
                         "show Sample.Person 1 Name\nrollback\nshow Sample.Person 1 Name --format csv\ndescribe\n"
                         "call Sample.Person Divide 7 2\nshell\nshow \"unclosed\n--connect elsewhere classes\nquit\n"
                         "show Sample.Person 1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "1\nID    1\nName  Ann Lee\nID,Name\n1,Ann\nresult     true\nquotient   3\nremainder  1\n");
  EXPECT_EQ(r.err,
            "torqa: describe: wrong number of arguments (0)\nUsage: torqa describe CLASS\n"
            "torqa: already in the shell\nUsage: torqa shell\n"
            "torqa: a quote (\") is not closed\n"
            "torqa: --connect cannot change inside the shell\nUsage: torqa classes\n");
  EXPECT_RUN(torqa({"shell"}, "show Sample.Person 1 Age\n"), 0, "ID   1\nAge  40\n", "");

  // Help in the shell lists the shell's own commands.
  const result help = torqa({"shell"}, "help\n");
  for (const char* line : {"\n  begin ", "\n  commit ", "\n  rollback ", "\n  quit "})
    EXPECT_NE(help.out.find(line), std::string::npos) << line;
  // A script that ends, or quits, inside a transaction fails and keeps nothing of it.
  for (const char* end : {"", "quit\n"})
    EXPECT_RUN(torqa({"shell"}, std::string("begin\nbegin\ncommit\nset Sample.Person 1 Age=41\n") + end), 1, "",
               "torqa: the script ended inside an open transaction; its changes are rolled back\n");
  EXPECT_RUN(torqa({"shell"}, "begin\nset Sample.Person 1 Age=42\ncommit\nshow Sample.Person 1 Age\n"), 0,
             "ID   1\nAge  42\n", "");
}

/// torqa on a pseudo-terminal: keys typed, and what it writes read up to an expected text.
class terminal {
 public:
  explicit terminal(const std::function<void()>& child) : pid_(forkpty(&fd_, nullptr, nullptr, nullptr)) {
    if (pid_ == 0) child();
  }
  ~terminal() { close(fd_); }
  void type(const std::string& keys) { ASSERT_EQ(write(fd_, keys.data(), keys.size()), ssize_t(keys.size())); }
  /// Everything written up to and including `text`, or all of it when the output pauses for a minute before it.
  std::string until(const std::string& text) {
    char buf[4096];
    for (pollfd p{fd_, POLLIN, 0}; seen_.find(text) == std::string::npos && poll(&p, 1, 60000) > 0;) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      seen_.append(buf, static_cast<std::size_t>(n));
    }
    const std::size_t end = seen_.find(text);
    const std::string part = seen_.substr(0, end == std::string::npos ? end : end + text.size());
    seen_.erase(0, part.size());
    return part;
  }
  bool shows(const std::string& text) { return until(text).ends_with(text); }
  int status() const { return wait_for(pid_); }

 private:
  int fd_ = -1;  // set by forkpty in pid_'s initializer
  pid_t pid_;
  std::string seen_;
};

TEST_F(cli_test, the_shell_on_a_terminal_asks_the_password_completes_names_and_keeps_history) {
  terminal t([this] { exec({"--connect", ns(), "shell"}, {}); });
  EXPECT_TRUE(t.shows("Password for torqa: "));
  t.type("torqa\r");
  EXPECT_EQ(t.until("Connected to "), "\r\nConnected to ");  // the password is not echoed
  t.until("torqa> ");
  // Completion redraws the line from the cursor on: the completed rest shows.
  t.type("desc\t");
  EXPECT_TRUE(t.shows("ribe "));
  t.type("Sample.P\t");
  EXPECT_TRUE(t.shows("erson "));
  t.type("\r");
  EXPECT_NE(t.until("(32 rows)").find("class method  Divide"), std::string::npos);
  t.until("torqa> ");
  t.type("quit\r");
  EXPECT_EQ(t.status(), 0);
  const std::string history = slurp(dir / ".torqa_history");
  EXPECT_NE(history.find("describe\\040Sample.Person"), std::string::npos) << history;
}

}  // namespace

TEST_F(cli_test, commands_work_through_a_daemon_and_through_the_socket_of_the_namespace_it_owns) {
  torqa::test::daemon_process daemon;
  const std::string port =
      daemon.start(TORQAD, {"--data", (dir / "data").string(), "--schema", TORQA_SAMPLE_SCHEMA, "--fasthash"},
                   (dir / "torqad.log").string());
  ASSERT_FALSE(port.empty());
  const std::string tcp = "127.0.0.1[" + port + "]:people", local = "local[]:" + (dir / "data" / "people").string();
  EXPECT_RUN(run({"--connect", tcp, "create", "Sample.Person", "Name=Ann", "Age=36"}), 0, "1\n", "");
  EXPECT_RUN(run({"--connect", local, "set", "Sample.Person", "1", "Age=37"}), 0, "", "");
  EXPECT_RUN(run({"--connect", tcp, "--format", "csv", "sql", "SELECT Name, Age FROM Sample_Person"}), 0,
             "Name,Age\nAnn,37\n", "");
  const result classes = run({"--connect", tcp, "--format", "csv", "classes"});
  EXPECT_EQ(classes.status, 0) << classes;
  EXPECT_NE(classes.out.find("Sample.Person,"), std::string::npos) << classes;
}
