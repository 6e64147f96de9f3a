@echo off
rem Runs every test program of this bundle against this machine's own service
rem control manager, and checks that the run leaves nothing behind.
rem
rem   run-tests.cmd          from an elevated prompt (as an administrator)
rem
rem Prints one line per program, the skipped tests by name, and last
rem "N passed, M failed", counting test cases. Exit code 0: nothing failed;
rem 1: a test failed, a program is missing, crashed, took longer than the
rem time limit or ended without its counts, or something was left behind;
rem 2: the run could not start (not an administrator, a service or folder the
rem tests use is there and was not made by them, what an earlier run left
rem could not be removed, or the bundle's own helper failed). Each program's output is in logs\.
setlocal EnableExtensions DisableDelayedExpansion

rem The bundle is the folder this script lies in, which is made the current
rem one; everything below names its files relative to it. Wine's cmd mangles a
rem percent sign in %~dp0 (Windows' does not): only where %~dp0 does not lead
rem to a bundle is the current folder taken instead.
if exist "%~dp0vek-tests.marker" if exist "%~dp0tests\bundle-helper.exe" pushd "%~dp0"
if not exist "vek-tests.marker" goto no_bundle
if not exist "tests\bundle-helper.exe" goto no_bundle
if not exist "tests\test-programs.txt" goto no_bundle

rem What would run only some tests, or some of them several times, is not
rem this run's: every test runs once.
for %%v in (GTEST_FILTER GTEST_ALSO_RUN_DISABLED_TESTS GTEST_REPEAT GTEST_FAIL_FAST GTEST_SHARD_INDEX GTEST_TOTAL_SHARDS GTEST_SHARD_STATUS_FILE) do set "%%v="

rem A helper's exit code other than 0 and 1 (a crash is a large or negative
rem one, which "if errorlevel 1" does not see) is a failure of the helper.
"tests\bundle-helper.exe" is-administrator
set "code=%ERRORLEVEL%"
if "%code%"=="1" goto not_administrator
if not "%code%"=="0" goto helper_failed
rem Its programs run as an administrator and as LocalSystem: a warning when
rem others can change them.
"tests\bundle-helper.exe" check-bundle
set "code=%ERRORLEVEL%"
if not "%code%"=="0" goto helper_failed
"tests\bundle-helper.exe" start-clean
set "code=%ERRORLEVEL%"
if "%code%"=="1" goto refused
if "%code%"=="3" goto not_clean
if not "%code%"=="0" goto helper_failed

if not exist "logs" mkdir "logs"
echo Started at %TIME%.
set /a passed=0, failed=0, skipped=0, programs=0
for /f "usebackq delims=" %%p in ("tests\test-programs.txt") do call :run "%%p"
if %programs%==0 (
    set /a failed+=1
    echo FAIL  tests\test-programs.txt names no test program
)

rem Whatever a program left outside the bundle is a failure of its own, one
rem for each service and each folder.
"tests\bundle-helper.exe" finish
set "code=%ERRORLEVEL%"
if %code% lss 0 (
    set /a failed+=1
    echo FAIL  bundle-helper finish ended with exit code %code%
) else (
    set /a failed+=code
)
echo Ended at %TIME%.
if %skipped% gtr 0 echo %skipped% skipped, each named above with the reason.
echo %passed% passed, %failed% failed
if %failed% gtr 0 exit /b 1
exit /b 0

rem Runs tests\<name>.exe, within the time limit, and counts its results. A
rem program that is missing, is ended at the time limit, or ends without
rem writing its counts (a crash, say) is one failure; so is one that exits
rem with a code other than 0 while reporting no failed test, or that reports
rem no test at all.
:run
set "name=%~1"
set /a programs+=1
set "result=logs\%name%.result"
set "skipped_list=logs\%name%.skipped"
set "timed_out=logs\%name%.timed-out"
if exist "%result%" del "%result%"
if exist "%skipped_list%" del "%skipped_list%"
if not exist "tests\%name%.exe" goto run_missing
set "VEK_TEST_RESULT=%result%"
"tests\bundle-helper.exe" run "tests\%name%.exe" "%timed_out%" >"logs\%name%.log" 2>&1
set "code=%ERRORLEVEL%"
set "VEK_TEST_RESULT="
if exist "%timed_out%" goto run_timed_out
if not exist "%result%" goto run_ended_early
set /a p=0, f=0, s=0
for /f "usebackq tokens=1-3" %%a in ("%result%") do set /a p=%%a, f=%%b, s=%%c
if not "%code%"=="0" if %f%==0 set /a f=1
set /a total=p+f+s
if %total%==0 set /a f=1
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
:run_missing
set /a failed+=1
echo FAIL  %name%: tests\%name%.exe is missing from the bundle
exit /b 0
:run_timed_out
set /a failed+=1
echo FAIL  %name%: ended at the time limit, not finished (output in logs\%name%.log)
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
:helper_failed
echo run-tests: tests\bundle-helper.exe ended with exit code %code%; nothing was run.
exit /b 2
:refused
echo run-tests: nothing was run, and nothing was changed.
exit /b 2
:not_clean
echo run-tests: what an earlier run left could not all be removed (see above); nothing was run.
exit /b 2
