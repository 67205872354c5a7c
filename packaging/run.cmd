@echo off
rem Runs ostrevin and unwind-contract once each, and saves beside them what
rem each printed (NAME.out), its error output (NAME.err) and its exit status
rem (NAME.status): the runs that "ostrevin-judge saved FOLDER" judges.
cd /d "%~dp0"
ostrevin.exe >ostrevin.out 2>ostrevin.err
>ostrevin.status echo %ERRORLEVEL%
unwind-contract.exe >unwind-contract.out 2>unwind-contract.err
>unwind-contract.status echo %ERRORLEVEL%
echo Saved in %CD%: ostrevin.out/.err/.status, unwind-contract.out/.err/.status
