#include "driver/faq.h"

#include "base/brand.h"

// The rows of the "-FAQ" page, one output line each. A tag row holds its tag
// alone. Text outside [pre] blocks of an answer is HTML-escaped when printed;
// rows inside them are printed as they stand, so they spell out their own
// entities. A question's number is its place in the table: answers that say
// "see question N" rely on the order.
const char* const faq_rows[] = {
    // Question 1
    "[q]",
    "Quillon works but takes ages?",
    "[a]",
    "[b]Turn on the trace first.[/b] Put the line \"logging debug\" in the settings "
        "file, submit the form once, and read the log: every line starts with the time, "
        "so you can see which step waited. The usual",
    "causes, and what to do: 1) The SMTP server answers slowly or not at all. Every "
        "socket step (connecting, each send, each receive) waits at most smtp_timeout "
        "seconds, 60 by default; set a shorter limit if",
    "your server is close by. 2) The server name is looked up in DNS on every run. "
        "Name the server by its address instead of its name. 3) Some servers hold "
        "back their greeting on purpose, to tire out",
    "spam senders; the program waits for it (in EHLO and HELO mode alike) before it "
        "says anything. Send through a server that greets at once. The program itself "
        "needs a few",
    "milliseconds for the rest of its work; the wait is on the network. For example:",
    "[pre]",
    "smtp 192.0.2.25",
    "smtp_timeout 15",
    "hello_method HELO",
    "[/pre]",

    // Question 2
    "[q]",
    "Do you have a list of error codes for Quillon?  I keep getting either an error "
        "code E101 or E103.",
    "[a]",
    "QUILLON has no numbered error codes such as E101 or E103: those come from "
        "another program or from your web host. The page in the browser says \"email "
        "sent.\" or \"email NOT sent.\", or \"error: ...\" when the",
    "run could not go on at all (without a settings file, say); the log beside the "
        "program says what happened and why. Run by hand, the exit code tells how a "
        "command ended:",
    "[pre]",
    "0  done (also for every web run, whether the mail went out or not)",
    "1  the run stopped with an \"error: ...\" page; the reason is also written to the "
        "log",
    "2  as 1, but the log file could not be opened either, so nothing was written",
    "3  -blanklog or -version_insert_filename failed; the reason was printed",
    "9  out of memory while formatting a text",
    "[/pre]",

    // Question 3
    "[q]",
    "I dont see my html output files, I see either \"email sent\" or \"email NOT sent\" "
        "on an otherwise blank page.",
    "[a]",
    "That built-in page appears when the settings file names no page file for the "
        "case, or when the program cannot open the file it names. The text right after "
        "\"email sent.\" or \"email NOT sent.\" says which:",
    "\"message file is not set in quillon ini file\", or \"message file (...) is not "
        "readable for the reason (2)(No such file or directory)\" with the path it tried. "
        "The log gets the same text. Check the setting",
    "(see question 4), that the file exists at exactly that path, and that the web "
        "server's account may read it. \"email sent.\" still means that the server "
        "accepted the mail.",

    // Question 4
    "[q]",
    "How do I set the success_html_page and failure_html_page settings?",
    "[a]",
    "Each is one line of the settings file: the keyword at the very start of the "
        "line, one blank, then the path of an HTML file on the web server's own disk. It "
        "is a file name, not a web address: the program",
    "opens the file itself and prints it. Use a full path; a relative one is taken "
        "from the directory the web server starts the program in. Nothing after the "
        "blank is trimmed, so a blank at the end of the line",
    "becomes part of the file name. For example (on Linux, a path such as "
        "/var/www/html/thanks.html):",
    "[pre]",
    "success_html_page C:\\inetpub\\wwwroot\\thanks.html",
    "failure_html_page C:\\inetpub\\wwwroot\\sorry.html",
    "[/pre]",
    "In the page, ||Name:|| stands for the value submitted for the field Name: (the "
        "name between the two pairs of bars, exact case). Values are HTML-escaped, so a "
        "visitor cannot put markup or script into your",
    "page. A small credit link is put in front of the closing </html> tag; the line "
        "\"add_zolvar_link false\" leaves it out.",

    // Question 5
    "[q]",
    "Can I use quillon on Windows2000 server?",
    "[a]",
    "Not the Windows build we make: it is a 64-bit program, and Windows 2000 has no "
        "64-bit edition. It runs on 64-bit Windows with any web server that can start "
        "CGI programs (see questions 6 and 7). A 32-bit",
    "build of the source is possible, but we neither make nor test one, and Windows "
        "2000 has had no security fixes for many years.",

    // Question 6
    "[q]",
    "Do I need any other install or program to run quillon?",
    "[a]",
    "No. The program is one executable with nothing else to install. You need a web "
        "server that runs CGI programs and an SMTP server that accepts mail from the web "
        "server's machine. Put the program and its",
    "settings file (same name, ending in .ini) in the web server's CGI directory; "
        "the log (ending in .log) is written beside them. Apache, Windows or Linux: load "
        "mod_cgi and map a CGI directory (on Debian or",
    "Ubuntu \"a2enmod cgi\" maps /usr/lib/cgi-bin):",
    "[pre]",
    "LoadModule cgi_module modules/mod_cgi.so",
    "ScriptAlias /cgi-bin/ \"C:/Apache24/cgi-bin/\"",
    "&lt;Directory \"C:/Apache24/cgi-bin\"&gt;",
    "    Options +ExecCGI",
    "    Require all granted",
    "    LimitRequestBody 102400",
    "&lt;/Directory&gt;",
    "[/pre]",
    "For lighttpd add the lines below to lighttpd.conf. LimitRequestBody (in bytes) and "
        "server.max-request-size (in KiB) let through the 100000 bytes of a form the "
        "program reads and refuse larger posts.",
    "On Linux, keep the directory, the program and its settings file owned by root and "
        "not writable by the web server's account (www-data on Debian), or anything "
        "running under that account could replace",
    "them; give that account the log file alone. IIS needs a few more steps, see "
        "question 7.",
    "[pre]",
    "server.modules += ( \"mod_alias\", \"mod_cgi\" )",
    "alias.url += ( \"/cgi-bin/\" =&gt; \"/usr/lib/cgi-bin/\" )",
    "$HTTP[\"url\"] =^ \"/cgi-bin/\" {",
    "  cgi.assign = ( \"\" =&gt; \"\" )",
    "  server.max-request-size = 100",
    "}",
    "",
    "cd /usr/lib/cgi-bin",
    "chown root: quillon quillon.ini &amp;&amp; chmod 755 quillon &amp;&amp; chmod 644 quillon.ini",
    "touch quillon.log; chown www-data: quillon.log; chmod 600 quillon.log",
    "[/pre]",

    // Question 7
    "[q]",
    "I've created CGI-BIN directoty, made an alias with the same name, marked this "
        "directory as executable, placed quillon.exe in it, but... no responce when "
        "trying to connect from my web, and log file is empty :(",
    "[a]",
    "An empty log means the program never ran, or may not write its log file: every "
        "run logs its start before it reads anything. On IIS check: 1) The CGI "
        "feature is installed (Server Manager or \"Turn",
    "Windows features on or off\": Web Server, Application Development, CGI). 2) The "
        "program is allowed under \"ISAPI and CGI Restrictions\" at server level; without "
        "that IIS answers 404.2. 3) In \"Handler",
    "Mappings\" for the directory the CGI-exe handler is enabled and \"Edit Feature "
        "Permissions\" has Execute on. 4) The accounts IIS runs programs under may change "
        "the log file, and only that file: with a",
    "right on the whole directory anything running under them could replace the "
        "program and its settings. Create the log once and grant them this one file:",
    "[pre]",
    "cd /d C:\\inetpub\\cgi-bin",
    "quillon.exe -blanklog",
    "icacls quillon.log /grant \"IIS_IUSRS:M\"",
    "[/pre]",
    "Open the form through the web server (http://...), not from the disk.",

    // Question 8
    "[q]",
    "The last variable that is in the ini file is duplicated twice in the email sent "
        "to me. How to fix?",
    "[a]",
    "This program reads every settings line once, the last one too, so a repeated "
        "variable has another cause. Look for the variable's name on two lines of the "
        "settings file. And with \"sendall true\" the body",
    "ends with a list of every submitted variable, under \"All variables from the "
        "submitted form:\", after the lines you listed yourself, so a listed variable "
        "shows twice. Use either the list (\"sendall true\") or",
    "your own use_submitted_variable_for_bodycontent lines:",
    "[pre]",
    "sendall false",
    "use_submitted_variable_for_bodycontent Comments:",
    "[/pre]",

    // Question 9
    "[q]",
    "When I submit I get the email and one or all of the variables do not have the "
        "value that was entered.",
    "[a]",
    "A settings line takes the value of the form field whose name is exactly the "
        "rest of the line: same case, same punctuation, and nothing trimmed, so a "
        "trailing blank or a missing colon makes another name",
    "that nobody submitted, and the value is empty. With the form field <input "
        "type=\"text\" name=\"Email:\"> the settings line must read "
        "\"use_submitted_variable_for_bodycontent Email:\" with nothing after the",
    "colon. The form must use method=\"post\": the program reads only the posted body, "
        "never the query string of a GET request. Of two fields with the same name, the "
        "first one submitted counts. With \"logging",
    "debug\" the \"add_body_variable(...)\" log lines show each value taken.",

    // Question 10
    "[q]",
    "I got the message \"error: The ini file could not be opened.. \", what to do?",
    "[a]",
    "The program looks for its settings file beside itself, under its own name with "
        "\".ini\" in place of \".exe\" (or \".cgi\"): quillon.exe reads quillon.ini, "
        "contact.exe reads contact.ini, and a program called just",
    "quillon reads quillon.ini. The log shows the path in its \"Ini file == ...\" "
        "line. Check the name (Windows may hide a second extension: quillon.ini.txt) and "
        "that the web server's account may read it. To have",
    "a demonstration file written, run the program by hand:",
    "[pre]",
    "C:\\inetpub\\cgi-bin&gt; quillon.exe help",
    "Would you like me to generate a demo ini file for you?[y/n]y",
    "[/pre]",

    // Question 11
    "[q]",
    "I cannot figure out where to enter the value of the email address to which the "
        "information from the form would be delivered to?",
    "[a]",
    "In a header line of the settings file: the To: address is the recipient, the "
        "From: address the sender and bounce address, and a Subject: header is needed "
        "too; without all three nothing is sent. A CC: and a",
    "BCC: header add one recipient each; the BCC address is not written into the "
        "mail. Only the first address of each header is used:",
    "[pre]",
    "headerline To: \"Sales\" &lt;sales@example.com&gt;",
    "headerline From: \"Web form\" &lt;webform@example.com&gt;",
    "headerline BCC: archive@example.com",
    "headerline Subject: Enquiry from the web site",
    "[/pre]",
    "All settings, each keyword at the very start of its line; lines that match none "
        "are ignored:",
    "[pre]",
    "smtp HOST[:PORT]              the SMTP server, port 25 unless given (587 or 465 "
        "with smtp_security)",
    "smtp_timeout SECONDS          limit of each socket step, 60 by default",
    "hello_method HELO             greet with HELO (default: EHLO, which sends the "
        "envelope commands together when the server offers PIPELINING)",
    "hello_name NAME               the domain name given in EHLO and HELO (default: "
        "with standard_headers the domain of a fixed From line, else QUILLON)",
    "smtp_security starttls|tls    encrypt the connection: STARTTLS (port 587) or TLS "
        "from the first byte (port 465); always EHLO and CR LF, the certificate checked",
    "smtp_user NAME                log in (AUTH PLAIN or LOGIN) over TLS, with "
        "smtp_password TEXT or smtp_password_file FILE (the password is its first line)",
    "smtp_ca_file FILE             CA certificates (PEM) trusted besides the system's",
    "standard_headers true         add Date, Message-ID and the MIME headers; non-ASCII "
        "text encoded",
    "use_submitted_variable_for_reply_to NAME     a Reply-To header from a form field "
        "holding one address",
    "email_CR=LFCR                 end the lines of the mail with CR LF instead of LF",
    "logging debug|errors          how much goes into the log",
    "sendall true                  add every submitted variable to the body "
        "(remove_empty_variables: but not empty ones)",
    "success_html_page FILE        page shown when the mail was sent "
        "(failure_html_page FILE: when not)",
    "add_zolvar_link false         no credit link on those pages",
    "no_padding                    no blank in front of the body lines",
    "add_headerline_colon          add the colon to header names given without one",
    "headerline TEXT               a fixed header line (bodycontent_line TEXT: a "
        "fixed body line)",
    "use_submitted_variable_for_headerline NAME     a header line from a form field",
    "use_submitted_variable_for_bodycontent NAME    a body line from a form field",
    "[/pre]",

    // Question 12
    "[q]",
    "I cannot get it work",
    "[a]",
    "Go step by step; the log lies beside the program, named like it with \".log\". In "
        "the CGI directory, check that the program runs, let it write a demonstration "
        "settings file, edit it (your SMTP server,",
    "\"logging debug\", real From, To and Subject addresses), start a fresh log and "
        "submit the form through the web server:",
    "[pre]",
    "quillon.exe -version",
    "quillon.exe help",
    "quillon.exe -blanklog",
    "[/pre]",
    "Then read the log. \"email not sent due to From, or To, or Subject headers ...\" "
        "names what is missing. \"SMTP email server (...) did not respond.\" means the "
        "connection failed; the line before it says why",
    "(\"Connection Refused\", \"Timedout\", ...). The SEND and RECV lines show the whole "
        "conversation with the server, so a refusal such as \"550 relay not permitted\" "
        "shows there. The success page comes only when",
    "the server accepted the mail. \"550 bare <LF> received\" or a silent server: add "
        "email_CR=LFCR. A log line reads like this (the process id tells runs apart):",
    "[pre]",
    "7th December 2026,  11:49:36 pm - pid(1234) - getting form info.",
    "[/pre]",

    // Question 13
    "[q]",
    "If you have more than 18 fields, the last field will drop out of the resulting "
        "e-mail.",
    "[a]",
    "Not in this program. It takes up to 1000 submitted fields and up to 1000 header "
        "and 1000 body lines in the settings file, each field in its own "
        "use_submitted_variable_for_bodycontent line. Beyond that, a",
    "posted form is read up to 100000 bytes, and a body line whose label is 499 "
        "characters or longer is left out. If a field is missing, compare its name in "
        "the form and in the settings line (see question 9),",
    "and check the \"add_body_variable\" lines of the debug log.",

    // Question 14
    "[q]",
    "I have about 2000 checkboxes and I need to send only info from 10. Is it "
        "somehow possible to have quillon send via e-mail just variables that are "
        "checked in type=\"checkbox\" ?",
    "[a]",
    "Yes, and the browser does most of it: an unchecked checkbox is not submitted at "
        "all. With \"sendall true\" the body ends with a list of every field that was "
        "submitted, so only the checked boxes show there,",
    "each as (name)==(value). Add \"remove_empty_variables\" to leave out text fields "
        "that were left empty as well:",
    "[pre]",
    "sendall true",
    "remove_empty_variables",
    "[/pre]",
    "Only the first 1000 fields of a submission are read.",

    // Question 15
    "[q]",
    "I get error in quillon.log file  \"wsock: (TCPwrite failed in sendr) Socket "
        "Unkown error code 0\" whats it mean?",
    "[a]",
    "The program could not send a command to the SMTP server, almost always because "
        "the server had already closed the connection. The number after \"error code\" is "
        "the system's error number for the failed step;",
    "when it is 0 the server simply hung up, and this program then logs no error "
        "line at all. Look at the RECV lines before it (with \"logging debug\"): the "
        "server's last reply says why it hung up. A common case",
    "is a server that refuses bare LF line ends (Postfix with "
        "smtpd_forbid_bare_newline = reject); end the lines with CR LF. Other "
        "causes: a server that wants a login or",
    "encryption (the smtp_security and smtp_user settings of question 11), or a "
        "firewall.",
    "[pre]",
    "email_CR=LFCR",
    "[/pre]",

    // Question 16
    "[q]",
    "I get error message  \"Internal Server Error - The server encountered an "
        "internal error or misconfiguration and was unable to complete your request...\", "
        "what to do?",
    "[a]",
    "The web server could not run the program; the program itself answers with a "
        "complete page even when it stops with an error. The web server's error log "
        "names the cause: on Linux often a program that is not",
    "executable or was built for another system, on Windows a CGI directory without "
        "Execute permission (see questions 6 and 7). Question 12 shows how to check the "
        "program by hand.",

    // Question 17
    "[q]",
    "I tried to download quillon. I received an error the server could not be found.",
    "[a]",
    "The program's home page is " QUILLON_HOME_URL
        ", the address in the first line of its help text.",
    "If that server cannot be reached from where you are, try again later, or build "
        "the program from its source with CMake and a C++17 compiler (the last line "
        "makes the Windows program with MinGW-w64):",
    "[pre]",
    "cmake -S quillon -B build -DBUILD_TESTING=OFF",
    "cmake --build build",
    "cmake -S quillon -B build-win "
        "-DCMAKE_TOOLCHAIN_FILE=quillon/cmake/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF "
        "&amp;&amp; cmake --build build-win",
    "[/pre]",

    // Question 18
    "[q]",
    "Error 404 when I press the submit button?",
    "[a]",
    "The form's action address does not lead to the program. Opened on its own in "
        "the browser, it must give an \"email NOT sent.\" or an error page, not a 404. Use "
        "the CGI directory's address and the program's",
    "exact name, as in <form method=\"post\" action=\"/cgi-bin/quillon.exe\">. On IIS a "
        "404.2 means the program is not allowed under \"ISAPI and CGI Restrictions\" (see "
        "question 7).",

    // Question 19
    "[q]",
    "They told me that if i use a script i must use only BLAT command and not "
        "Sendmail, does quillon work with BLAT?",
    "[a]",
    "QUILLON uses neither BLAT nor Sendmail: it is a program of its own and talks to "
        "the SMTP server directly over the network. What your host's rule means for you "
        "is which SMTP server to use: if they name one,",
    "put it in the settings file, with its port when it is not 25:",
    "[pre]",
    "smtp mail.example.com:25",
    "[/pre]",
    "If the host allows no CGI programs of your own at all, QUILLON cannot run there.",

    // Question 20
    "[q]",
    "I am running the quillon on a Mac OSX server and unable to have the success "
        "page come up after the form is submitted?",
    "[a]",
    "There is no Mac OS X build of this program: we build and test it on Windows and "
        "Linux only, and have not tried macOS. On any system the page settings are file "
        "names on the server's disk, not web addresses,",
    "and the reason a page could not be opened follows \"email sent.\" in the browser "
        "(see questions 3 and 4).",

    // Question 21
    "[q]",
    "please let me know if i'm bugging you too much!!!!",
    "[a]",
    "Not at all. A good report makes a quick answer: say which system and web server "
        "you use, what the browser showed, and include the log lines of one failed run "
        "with \"logging debug\" on (blank out addresses",
    "you want to keep to yourself).",

    // Question 22
    "[q]",
    "when i do this:",
    "",
    "headerline From: \"use_submitted_variable_for_headerline Name:\" "
        "<use_submitted_variable_for_headerline from_address:>",
    "",
    "the cgi will not work.",
    "[a]",
    "A settings line is either fixed text or one form field, never a mix. A "
        "\"headerline\" line is copied as it stands, so the keywords inside it are not "
        "replaced, and a From: header without an address is",
    "refused, so nothing is sent. A use_submitted_variable_for_headerline line takes "
        "one field, and the rest of the line is its name. To answer the visitor, keep "
        "From: fixed and make the address the visitor",
    "types the Reply-To (see question 27):",
    "[pre]",
    "&lt;input type=\"email\" name=\"Email:\"&gt;",
    "headerline From: \"Web form\" &lt;webform@example.com&gt;",
    "use_submitted_variable_for_reply_to Email:",
    "[/pre]",

    // Question 23
    "[q]",
    "for the success_html_page, i have entered all kinds of stuff like "
        "../../dir/ok.html, and i cannot get it to work. all i get is a \"email sent\" "
        "message. Help!?",
    "[a]",
    "A relative path is taken from the directory the web server starts the program "
        "in, which is not always the program's directory and is not your web site's "
        "address space. Use the full path on disk, and read",
    "the reason on the page or in the log: \"(2)(No such file or directory)\" means "
        "the path is wrong, \"(13)(Permission denied)\" that the web server's account may "
        "not read the file.",
    "[pre]",
    "success_html_page /var/www/html/dir/ok.html",
    "[/pre]",

    // Question 24
    "[q]",
    "Just wondering if there is a way to make users fill out required fields with "
        "quillon, before pressing the submit button?",
    "[a]",
    "Both ways. The browser checks a field before it sends the form when the field "
        "has the required attribute of HTML, as in <input type=\"email\" name=\"Email:\" "
        "required>; a bot gets round that. QUILLON",
    "checks after the post: each required_variable line names a field that must hold "
        "more than blanks. A post without it sends nothing and gets the missing page; "
        "||quillon_missing_fields|| lists them:",
    "[pre]",
    "required_variable Name:",
    "required_variable Email:",
    "missing_html_page /var/www/html/missing.html",
    "[/pre]",
    "Without missing_html_page a built-in page lists the fields. And without From: "
        "and To: addresses and a Subject:, no mail is sent and the failure page shows.",

    // Question 25
    "[q]",
    "I get \"Socket error -1\" in the log file on OSX?",
    "[a]",
    "This program never writes \"Socket error -1\", and there is no Mac OS X build of "
        "it (see question 20). Its socket failures are logged as \"wsock: (step) "
        "message\", for example \"wsock: (mail.example.com)",
    "Connection Refused\" or \"wsock: (TCPdoread failed) Timedout\"; the step says what "
        "failed. A log with other lines comes from another program.",

    // Question 26
    "[q]",
    "success and failure pages dont work, all I get is \"email sent\" or \"email NOT "
        "sent\"?",
    "[a]",
    "The page setting is missing, misspelt, or names a file the program cannot open; "
        "the text after \"email sent.\" says which (see questions 3, 4 and 23). The "
        "keyword must stand at the very start of the line, in",
    "lower case, with one blank after it, and the path must be a file on the "
        "server's disk, not an http:// address. A page is shown whether or not it has "
        "tokens or a closing html tag.",

    // Question 27
    "[q]",
    "Is it possible to get the email with whoever sent it as the 'From'?",
    "[a]",
    "Not as the sender, but as the address your replies go to. Keep From: fixed, in "
        "your own domain, and make the visitor's address the Reply-To: \"Reply\" in your "
        "mail program then reaches the visitor:",
    "[pre]",
    "headerline From: \"Web form\" &lt;webform@example.com&gt;",
    "use_submitted_variable_for_reply_to Email:",
    "use_submitted_variable_for_bodycontent Email:",
    "[/pre]",
    "A From: taken from the form (use_submitted_variable_for_headerline From:) still "
        "works, but mail providers refuse or file as spam a mail whose sender is in a "
        "domain they do not serve, every bounce goes",
    "to the visitor, and anyone can send mail in someone else's name. The same holds "
        "for recipients: a To:, CC: or BCC: taken from the form needs allowed_recipient "
        "lines (an address, or @example.com for a",
    "whole domain), or anyone can choose where this mail goes; the log says so on "
        "every such run. Against bots: a honeypot_variable field that people never see, "
        "and rate_limit 5/10 (at most 5 posts from one",
    "address in 10 minutes).",
    "What the program does about what visitors send: line breaks in a value that "
        "goes into a header become blanks, so no one can add header lines or recipients "
        "through a form field; a line of the body that",
    "begins with \".\" is sent with a second \".\" so it cannot end the mail early; "
        "values shown on the reply pages are HTML-escaped; the BCC address is never "
        "written into the mail. The mail is reported as sent",
    "only when the server has accepted it.",

    // Printed as empty lines after the last answer.
    "", "", "", "", "", "", "",
    "", "", "", "", "", "", "",
    "", "", "", "", "", "", "",
    "", "", "", "", "", "", "",
    "", "", "", "", "", "", "",
    nullptr,
};
