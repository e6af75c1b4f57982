// Starter rules of Norvid Shield: cheap literal-string rules chosen for few false positives.

// The EICAR anti-malware test file: the 68-byte test string at the start of a small file.
rule EICAR_Test_File
{
    meta:
        description = "EICAR anti-malware test file"
    strings:
        $eicar = { 58 35 4F 21 50 25 40 41 50 5B 34 5C 50 5A 58 35 34 28 50 5E 29 37 43 43
                   29 37 7D 24 45 49 43 41 52 2D 53 54 41 4E 44 41 52 44 2D 41 4E 54 49 56
                   49 52 55 53 2D 54 45 53 54 2D 46 49 4C 45 21 24 48 2B 48 2A }
    condition:
        $eicar at 0 and filesize <= 128
}

// PHP web shells that evaluate or execute code taken straight from the HTTP request.
rule Webshell_PHP_Request_Eval
{
    meta:
        description = "PHP web shell running request data"
    strings:
        $php = "<?php" nocase
        $run1 = "eval($_POST[" nocase
        $run2 = "eval($_GET[" nocase
        $run3 = "eval($_REQUEST[" nocase
        $run4 = "assert($_POST[" nocase
        $run5 = "assert($_REQUEST[" nocase
        $run6 = "eval(base64_decode($_POST[" nocase
        $run7 = "system($_GET[" nocase
        $run8 = "passthru($_GET[" nocase
        $run9 = "shell_exec($_GET[" nocase
    condition:
        $php and any of ($run*)
}

// JSP web shells that run an operating-system command taken from a request parameter.
rule Webshell_JSP_Request_Exec
{
    meta:
        description = "JSP web shell running a request parameter"
    strings:
        $exec = "Runtime.getRuntime().exec(request.getParameter(" nocase
    condition:
        $exec
}

// ASP web shells that evaluate or execute the text of a request field.
rule Webshell_ASP_Request_Eval
{
    meta:
        description = "ASP web shell running request data"
    strings:
        $tag = "<%"
        $run1 = "eval(Request(" nocase
        $run2 = "eval(Request.Item[" nocase
        $run3 = "Execute(Request(" nocase
        $run4 = "ExecuteGlobal(Request(" nocase
    condition:
        $tag and any of ($run*)
}

// PowerShell download cradles: a script fetched with WebClient and run in memory. Installation
// guides quote such lines (Chocolatey, Boxstarter) in their code blocks: a Markdown fence or a
// reStructuredText code block marks the file as documentation, which runs nothing.
rule Script_PowerShell_Download_Cradle
{
    meta:
        description = "PowerShell script downloading and running code in memory"
    strings:
        $client = "Net.WebClient" nocase
        $fetch1 = ".DownloadString(" nocase
        $fetch2 = ".DownloadData(" nocase
        $run1 = "IEX(" nocase
        $run2 = "IEX (" nocase
        $run3 = "Invoke-Expression" nocase
        $run4 = "|IEX" nocase
        $run5 = "| IEX" nocase
        $doc1 = "\n```"
        $doc2 = "\n.. code-block::"
    condition:
        $client and any of ($fetch*) and any of ($run*) and not any of ($doc*)
}

// VBScript or JScript droppers that download a file, save it with ADODB.Stream and run it.
rule Script_VBS_JS_Dropper
{
    meta:
        description = "Windows script downloading, saving and running a file"
    strings:
        $http1 = "MSXML2.XMLHTTP" nocase
        $http2 = "Microsoft.XMLHTTP" nocase
        $http3 = "WinHttp.WinHttpRequest" nocase
        $stream = "ADODB.Stream" nocase
        $save = ".SaveToFile" nocase
        $shell = "WScript.Shell" nocase
    condition:
        any of ($http*) and $stream and $save and $shell
}

// Windows command lines that abuse certutil to download a payload.
rule Script_Certutil_Download
{
    meta:
        description = "certutil used as a downloader"
    strings:
        $fetch1 = "certutil -urlcache -split -f http" nocase
        $fetch2 = "certutil.exe -urlcache -split -f http" nocase
        $fetch3 = "certutil -urlcache -f http" nocase
        $fetch4 = "certutil.exe -urlcache -f http" nocase
    condition:
        any of them
}

// Unix reverse shells that hand an interactive shell to a remote TCP peer.
rule Script_Unix_Reverse_Shell
{
    meta:
        description = "Unix reverse shell one-liner"
    strings:
        $tcp1 = "bash -i >& /dev/tcp/"
        $tcp2 = "sh -i >& /dev/tcp/"
        $tcp3 = "0<&196;exec 196<>/dev/tcp/"
        $nc1 = "nc -e /bin/sh "
        $nc2 = "nc -e /bin/bash "
        $fifo = "/bin/sh -i 2>&1|nc "
    condition:
        any of them
}
