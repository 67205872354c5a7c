@echo off
rem Runs ostrevin and each contract program once, and saves beside them what
rem each printed (NAME.out), its error output (NAME.err) and its exit status
rem (NAME.status): the runs that "ostrevin-judge saved FOLDER" judges.
cd /d "%~dp0"
ostrevin.exe >ostrevin.out 2>ostrevin.err
>ostrevin.status echo %ERRORLEVEL%
unwind-contract.exe >unwind-contract.out 2>unwind-contract.err
>unwind-contract.status echo %ERRORLEVEL%
dispatch-contract.exe >dispatch-contract.out 2>dispatch-contract.err
>dispatch-contract.status echo %ERRORLEVEL%
echo Saved in %CD%: ostrevin, unwind-contract and dispatch-contract .out/.err/.status
