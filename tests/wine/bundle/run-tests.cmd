@echo off
rem Runs every test program of this bundle against this machine's own service
rem control manager, and checks that the run leaves nothing behind.
rem
rem   run-tests.cmd          from an elevated prompt (as an administrator)
rem
rem Prints one line per program, the skipped tests by name, and last
rem "N passed, M failed", counting test cases. Exit code 0: nothing failed;
rem 1: a test failed or something was left behind; 2: the run could not start
rem (not an administrator, or a service or folder the tests use is there and
rem was not made by them). Each program's output is in logs\.
setlocal EnableExtensions DisableDelayedExpansion

rem Everything below names files relative to the bundle's folder, which is
rem made the current one: Wine's cmd mangles a percent sign in %~dp0 and %CD%
rem (Windows' does not), and relative names need neither.
if not exist "vek-tests.marker" pushd "%~dp0"
if not exist "vek-tests.marker" goto no_bundle
if not exist "tests\bundle-helper.exe" goto no_bundle

"tests\bundle-helper.exe" is-administrator
if errorlevel 1 goto not_administrator
"tests\bundle-helper.exe" start-clean
if errorlevel 1 goto refused

if not exist "logs" mkdir "logs"
echo Started at %TIME%.
set /a passed=0, failed=0, skipped=0
for %%p in (tests\*_test.exe) do call :run %%~np

rem Whatever a program left outside the bundle is a failure of its own.
"tests\bundle-helper.exe" finish
set /a failed+=%ERRORLEVEL%
echo Ended at %TIME%.
if %skipped% gtr 0 echo %skipped% skipped, each named above with the reason.
echo %passed% passed, %failed% failed
if %failed% gtr 0 exit /b 1
exit /b 0

rem Runs tests\<name>.exe and counts its results. A program that ends
rem without writing its counts (a crash, say) is one failure; so is one that
rem exits with a code other than 0 while reporting no failed test.
:run
set "name=%~1"
set "result=logs\%name%.result"
set "skipped_list=logs\%name%.skipped"
if exist "%result%" del "%result%"
if exist "%skipped_list%" del "%skipped_list%"
set "VEK_TEST_RESULT=%result%"
"tests\%name%.exe" >"logs\%name%.log" 2>&1
set "code=%ERRORLEVEL%"
set "VEK_TEST_RESULT="
if not exist "%result%" goto run_ended_early
set /a p=0, f=0, s=0
for /f "usebackq tokens=1-3" %%a in ("%result%") do set /a p=%%a, f=%%b, s=%%c
if not "%code%"=="0" if %f%==0 set /a f=1
set /a passed+=p, failed+=f, skipped+=s
if %f% gtr 0 goto run_failed
echo PASS  %name%: %p% passed, %s% skipped
call :show_skipped
exit /b 0
:run_failed
echo FAIL  %name%: %p% passed, %f% failed, %s% skipped (exit code %code%; output in logs\%name%.log)
call :show_skipped
exit /b 0
rem Names the skipped tests, with the reasons. (Not with findstr: Wine's is a
rem stub that finds nothing.)
:show_skipped
if exist "%skipped_list%" for /f "usebackq delims=" %%l in ("%skipped_list%") do echo       %%l
exit /b 0
:run_ended_early
set /a failed+=1
echo FAIL  %name%: ended with exit code %code% before reporting its tests (output in logs\%name%.log)
exit /b 0

:no_bundle
echo run-tests: the bundle's files are not here; run run-tests.cmd from the folder it was unpacked to.
exit /b 2
:not_administrator
echo run-tests: run this as an administrator (from an elevated prompt): the tests register, start and delete services.
exit /b 2
:refused
echo run-tests: nothing was run, and nothing was changed.
exit /b 2
