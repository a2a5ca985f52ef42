// korvander-host: loads a Native API add-in as the host does on Linux and calls its methods.
#include "Session.h"

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kHelp = R"(usage: korvander-host [OPTIONS] LIBRARY [SCRIPT...]

Loads LIBRARY through its four exports as the host does, creates one object,
hands it a memory manager and a connection, runs the commands given by -c,
-f and SCRIPT in order, then ends the object and unloads the library. With
no commands it prints the library's classes, methods and properties.

Options:
  -c, --command LINE   run one command line (may be repeated)
  -f, --script FILE    run the commands of FILE, one per line ("-": standard input)
      --class NAME     create this class (default: the first the library names)
  -q, --quiet          print only failures, host notes and the output of print
  -x, --stop           stop at the first failed expectation
      --allow-leaks    do not fail the run for host memory leaked or freed twice
      --no-unload      keep the library loaded at exit
  -h, --help           this text

Commands (one per line; "#" starts a comment):
  METHOD ARG...            call a method by its English or Russian name
  call METHOD ARG...       the same, for a method named like a command
  classes | info | methods | props
                           list the class names; the object's facts; the
                           methods (number, names, parameter count, kind);
                           the properties
  check-names              every method and property is found by both names
  find-method NAME | find-prop NAME
                           the number FindMethod / FindProp gives ($ret)
  get PROP [out:VAR]       read a property
  set PROP VALUE           write a property ($ret: the entry point's result)
  let VAR VALUE            set a variable
  print VALUE...           print values as plain text
  show VALUE...            print values with their types
  save VALUE FILE          write a value as plain text into FILE
  locale TEXT | language TEXT
                           SetLocale / SetUserInterfaceLanguageCode
  new-object               create another object of the class and use it
  use-object N | end-object N
                           talk to object N (0 is the first); end object N
                           (Done, DestroyObject) and go back to object 0
  fail-alloc N             make the next N host allocations fail
  memory                   host memory counters ($ret: blocks live)

Expectations (a failed one is reported and makes the exit status 1):
  expect VALUE             the last call returned VALUE (expect true)
  expect-error CODE [TEXT] the last call returned false and GetLastError
                           gave CODE (and exactly TEXT)
  expect-host-error CODE [TEXT]
                           the last call reported CODE (and TEXT) by AddError
  expect-equal A B         A and B are equal
  expect-contains A TEXT | expect-not-contains A TEXT
  expect-match A REGEX     A matches the ECMAScript regular expression
  expect-type A TYPE       A has type TYPE (I4, PWSTR, BOOL, ...)

Values:
  "text" | str:"text" | str:word   a string (VTYPE_PWSTR); escapes \" \\ \n \r \t
                                   \uXXXX; any other \x stays as written
  pstr:"text"             an 8-bit string (VTYPE_PSTR)
  file:PATH | file:"PATH" a string read from a UTF-8 file
  int:N  long:N  double:X  bool:true  date:DAYS  tm:2024-01-31T13:05:09  blob:HEX
  true | false | 42 | 1.5 the obvious types (I4, or I8 beyond 32 bits; R8)
  empty | null | vt:CODE  an empty value, VTYPE_NULL, any type code with no content
  $VAR                    a variable; $ret holds the last result, $errcode and
                          $errtext what GetLastError gave after a false result
  out:VAR                 (in calls) an output parameter: passes VAR's value
                          (empty if unset) and stores what the method leaves

After each call the tool prints the return value, the output parameters and,
after a false result, GetLastError. It tracks every block of host memory:
blocks freed twice, pointers the host never gave out, and blocks still live
at the end are reported and make the exit status 1.

Exit status: 0 success; 1 a failed expectation or a memory fault; 2 a usage
or script error; 3 the library or its object could not be loaded.
)";

struct TStep {
    bool IsFile;
    std::string Text;
};

int Usage(const std::string& message) {
    std::cerr << "korvander-host: " << message << "\n(korvander-host --help for help)\n";
    return 2;
}

// Runs the lines of `in`; false after a script error (already reported).
bool RunStream(khost::THostSession& session, std::istream& in, const std::string& name) {
    std::string line;
    int number = 0;
    while (!session.Stopped() && std::getline(in, line)) {
        ++number;
        std::string where = name + ":" + std::to_string(number);
        try {
            session.RunLine(line, where);
        } catch (const khost::TScriptError& e) {
            std::cout.flush();
            std::cerr << "ERROR " << where << ": " << e.what() << std::endl;
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    khost::TSessionOptions options;
    std::vector<TStep> steps;
    std::string library;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](const char* what) -> std::string {
            if (i + 1 >= argc)
                throw std::string(a + " needs " + what);
            return argv[++i];
        };
        try {
            if (a == "-h" || a == "--help") {
                std::cout << kHelp;
                return 0;
            } else if (a == "-c" || a == "--command") {
                steps.push_back({false, next("a command line")});
            } else if (a == "-f" || a == "--script") {
                steps.push_back({true, next("a file")});
            } else if (a == "--class") {
                options.ClassName = next("a class name");
            } else if (a == "-q" || a == "--quiet") {
                options.Quiet = true;
            } else if (a == "-x" || a == "--stop") {
                options.StopOnFailure = true;
            } else if (a == "--allow-leaks") {
                options.AllowMemoryFaults = true;
            } else if (a == "--no-unload") {
                options.Unload = false;
            } else if (a.size() > 1 && a[0] == '-') {
                return Usage("unknown option " + a);
            } else if (library.empty()) {
                library = a;
            } else {
                steps.push_back({true, a});
            }
        } catch (const std::string& message) {
            return Usage(message);
        }
    }
    if (library.empty())
        return Usage("no library given");

    khost::THostSession session(options);
    if (!session.Open(library))
        return 3;
    bool scriptOk = true;
    int commandNumber = 0;
    if (steps.empty())
        session.RunSummary();
    for (const TStep& step : steps) {
        if (!scriptOk || session.Stopped())
            break;
        if (!step.IsFile) {
            std::istringstream in(step.Text);
            scriptOk = RunStream(session, in, "command " + std::to_string(++commandNumber));
        } else if (step.Text == "-") {
            scriptOk = RunStream(session, std::cin, "stdin");
        } else {
            std::ifstream in(step.Text);
            if (!in) {
                std::cerr << "korvander-host: cannot read " << step.Text << std::endl;
                scriptOk = false;
                break;
            }
            scriptOk = RunStream(session, in, step.Text);
        }
    }
    int status = session.Close();
    return scriptOk ? status : 2;
}
