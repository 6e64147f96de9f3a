@echo off
rem install.cmd: installs vek-system-service from the package folder that
rem holds this script and the two programs, for deployment tools that run a
rem command as SYSTEM (Group Policy start-up scripts, Configuration Manager,
rem Intune). It copies vek-system-service-setup.exe and vek-system-service.exe
rem to "%ProgramW6432%\Vek System Service" and runs the installer there, which
rem registers the service once and starts it. Its lines, the installer's own
rem included, go time-stamped to standard output and to install.log in that
rem folder (writable by administrators only).
rem
rem An upgrade: when the package's vek-system-service.exe differs from the
rem installed one and the service runs, the service is stopped (60 seconds at
rem most) before the file is replaced; the installer then starts it again. The
rem registration is never changed.
rem
rem Exit codes: the installer's own (0 done, 1 failed, 2 and 3 internal
rem faults), or this script's:
rem   10  the package is incomplete: nothing was stopped or changed
rem   11  the programs could not be copied into place (or ProgramW6432 is not
rem       set: not 64-bit Windows)
rem   12  the service did not stop within 60 seconds: nothing was copied
rem
rem It runs unchanged under Windows' cmd and Wine's: no || or && after a
rem builtin (Wine gets them wrong; errorlevel is tested on the next line),
rem ping for a wait (Wine has no timeout), and the system's programs by their
rem full paths, so that nothing in the current folder is run in their place
rem (from a 32-bit agent's cmd, System32 is SysWOW64, which has them too).
setlocal EnableExtensions DisableDelayedExpansion
rem The script's own path, taken before any call: cmd may resolve %~dp0 and
rem %~f0 against the current folder after a call when it was started quoted.
set "script=%~f0"
set "package=%~dp0"
set "service=vek-system-service"
set "setup=vek-system-service-setup.exe"
set "program=vek-system-service.exe"
set "system=%SystemRoot%\System32"
set "log="
if not defined ProgramW6432 goto :no_program_files
set "target=%ProgramW6432%\Vek System Service"
rem A failure before the folder exists is shown, not logged.
if exist "%target%\" set "log=%target%\install.log"

rem The package is checked before anything is touched.
set "missing="
if not exist "%package%%setup%" set "missing=%setup%"
if not exist "%package%%program%" set "missing=%missing% %program%"
if not defined missing goto :complete
set "message=incomplete package %package%, missing:%missing%"
call :log
exit /b 10
:complete

if exist "%target%\" goto :have_target
mkdir "%target%" >nul 2>&1
if exist "%target%\" goto :have_target
set "message=cannot create %target%"
call :log
exit /b 11
:have_target
set "log=%target%\install.log"
set "message=installing from %package%"
call :log

rem Does the package bring another vek-system-service.exe than the installed
rem one? fc /b compares the bytes (exit code 0 same, 1 different, 2 a file
rem could not be read). Wine 8's fc is a stub that exits 0 for any two files,
rem so a "same" is trusted only if fc also tells this script from the
rem installer; Wine 10's refuses /b (exit 2 for any two files). Where fc
rem cannot tell, size and time decide: the copies below keep the file's
rem time, so an installed file has its package's size and time, and a rebuilt
rem program differs in one or both (the time to the minute).
set "differs=yes"
if not exist "%target%\%program%" goto :compared
"%system%\fc.exe" /b "%package%%program%" "%target%\%program%" >nul 2>&1
if errorlevel 2 goto :stamps
if errorlevel 1 goto :compared
"%system%\fc.exe" /b "%script%" "%package%%setup%" >nul 2>&1
if errorlevel 2 goto :stamps
if errorlevel 1 goto :same
:stamps
for %%f in ("%package%%program%") do set "package_stamp=%%~zf %%~tf"
for %%f in ("%target%\%program%") do set "target_stamp=%%~zf %%~tf"
if not "%package_stamp%"=="%target_stamp%" goto :compared
:same
set "differs=no"
set "message=%program% is the installed one: left as it is"
call :log
:compared

rem A running program cannot be overwritten: a service that is not stopped is
rem stopped first, when the program to replace is there. The stop is asked for
rem again while the service is in another state than stopping (a start in
rem progress refuses it).
set "stopped="
if "%differs%"=="no" goto :copy
if not exist "%target%\%program%" goto :copy
call :query_state
if not defined state goto :copy
if "%state%"=="1" goto :copy
set "message=%program% differs from the installed one: stopping %service%"
call :log
set /a waited=0
:stop
if not "%state%"=="3" "%system%\sc.exe" stop %service% >nul 2>&1
"%system%\ping.exe" -n 2 127.0.0.1 >nul
set /a waited+=1
call :query_state
if not defined state goto :has_stopped
if "%state%"=="1" goto :has_stopped
if %waited% lss 60 goto :stop
set "message=%service% did not stop within 60 seconds (state %state%)"
call :log
exit /b 12
:has_stopped
set "stopped=yes"
set "message=%service% stopped"
call :log

rem cmd's copy, not xcopy: Wine 10's xcopy refuses a quoted path that holds a
rem space. copy sets errorlevel 1 when it fails, and keeps the file's time. A
rem stopped service's process may hold its file a moment longer: the
rem program's copy is tried five times, a second apart.
:copy
copy /y /b "%package%%setup%" "%target%\" >nul 2>&1
if errorlevel 1 goto :copy_failed
set "message=copied %setup%"
call :log
if "%differs%"=="no" goto :run
set /a tries=0
:copy_program
copy /y /b "%package%%program%" "%target%\" >nul 2>&1
if not errorlevel 1 goto :copied_program
set /a tries+=1
if %tries% geq 5 goto :copy_failed
"%system%\ping.exe" -n 2 127.0.0.1 >nul
goto :copy_program
:copied_program
set "message=copied %program%"
call :log

rem The installer's output goes through a file in the target folder, so that
rem its exit code is kept; then each line is logged. findstr /n numbers every
rem line, blank ones too; Wine's findstr is a stub that prints nothing, and
rem there only for /f's own reading is left, which skips blank lines.
:run
set "message=running %setup%"
call :log
set "output=%target%\install-output.tmp"
"%target%\%setup%" >"%output%" 2>&1
set "code=%errorlevel%"
set "numbered="
for /f "tokens=1* delims=:" %%a in ('%system%\findstr.exe /n "^" "%output%" 2^>nul') do (
    set "numbered=yes"
    echo %date% %time% setup: %%b
    >>"%log%" echo %date% %time% setup: %%b
)
if defined numbered goto :logged
for /f "usebackq delims=" %%a in ("%output%") do (
    echo %date% %time% setup: %%a
    >>"%log%" echo %date% %time% setup: %%a
)
:logged
del "%output%" >nul 2>&1
set "message=%setup% exited with %code%"
call :log
exit /b %code%

:copy_failed
set "message=cannot copy the programs to %target%"
call :log
if not defined stopped exit /b 11
rem The old program is still in place: start it again.
"%system%\sc.exe" start %service% >nul 2>&1
set "message=asked %service% to start again"
call :log
exit /b 11

:no_program_files
set "message=ProgramW6432 is not set: this is not 64-bit Windows"
call :log
exit /b 11

rem Writes %message% (no double quotes in it) to standard output and, once the
rem target folder exists, to install.log, after the date and time.
:log
for %%m in ("%message%") do (
    echo %date% %time% %%~m
    if defined log >>"%log%" echo %date% %time% %%~m
)
exit /b 0

rem Sets state to the service's state number as sc query shows it (1 stopped,
rem 3 stop pending, 4 running, 7 paused, ...), or to nothing when the service
rem is not registered.
:query_state
set "state="
for /f "tokens=1,3" %%a in ('%system%\sc.exe query %service%') do (
    if "%%a"=="STATE" set "state=%%b"
)
exit /b 0
