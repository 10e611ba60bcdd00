# Read by CTest as it starts (after the discovered tests are defined), not at
# configure time: bounds the connect-disconnect cycle test by the cycles that
# MORREL_STRESS_CYCLES asks for in this run (cycles_test.cpp runs 50 without it).
# A cycle takes about 0.3 s, most of it the disconnect's pause, under the
# sanitizers too (500 cycles: 142 s as built, 148 s under ThreadSanitizer); the
# bound allows 0.6 s a cycle and a minute more.
set(cycles 50)
if("$ENV{MORREL_STRESS_CYCLES}" MATCHES "^[0-9]+$" AND NOT "$ENV{MORREL_STRESS_CYCLES}" EQUAL 0)
  set(cycles "$ENV{MORREL_STRESS_CYCLES}")
endif()
math(EXPR timeout "60 + ${cycles} * 6 / 10")
# The longest test starts first, so the others run beside it rather than after.
set_tests_properties(Stress.ConnectDisconnectCyclesShowEveryByteOnceAndInOrder PROPERTIES TIMEOUT ${timeout}
                     COST 1000)
