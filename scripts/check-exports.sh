#!/usr/bin/env bash
# Checks the dynamic symbol table of libMurelEngine.so: the engine's classes and C functions are
# exported, nothing of the tests, benchmarks or third-party libraries is, and the SONAME carries
# the major version. A class or function is required once a header under engine/ declares it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

BUILD="${1:-$ROOT/build}"

# Exported classes (namespace murel).
EXPECTED_CLASSES=(
    SignalData Signal Signal32 Signal64 ComplexSignal32 ComplexSignal64
    SignalQueue MathEx
    File BinaryInputStream InputStream BinaryOutputStream OutputStream FileStream
    SpeakerDescription AudioFormat
    FourierTransform WindowFunctions BaseSpectralProcessor
    SampleRateConversion NumberFormatConversion
)

# Exported C functions.
EXPECTED_FUNCTIONS=(
    murelCreateProcessor murelCreateStemSeparator murelDeleteProcessor
    murelAddAudio murelAddAudioInterleaved murelGetAudio murelGetAudioInterleaved
    murelGetNumOfPendingSamples murelResetProcessorState murelGetProcessorInfo
    murelGetParameterValue murelSetParameterValue murelGetParameterRange
    murelGetNumOfOutputBusses murelGetOutputBusName murelGetVectorArithmeticWrapperName
    murelCreateModel murelAddTensor murelGetTensor murelGetResultTensorShape
    murelResetModelState murelDeleteModel murelGetModelInfo
    murelProcessAudio murelProcessAudioInterleaved murelPrepareProcessor
    murelGetLastErrorMessage murelGetVersionString
    murelGetDefaultModelPath murelGetModelSetPath murelParseGain murelFindOutputBus murelApplyHostMix
)

# Demangled names that must never be exported: test and benchmark code, and the libraries that
# only the tests, benchmarks and tools link.
FORBIDDEN='testing::|gtest|GTEST|benchmark::|::TestBody\(|_Test::|\(anonymous namespace\)|simde|fftw|soxr|^src_|^sf_|cblas|CLI::'

if [[ ! -f "$BUILD/CMakeCache.txt" ]]; then
    murel_setup
    murel_configure "$BUILD" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$BUILD" --target MurelEngine -j"$JOBS"

library="$(find "$BUILD" -name 'libMurelEngine.so' -not -path '*/CMakeFiles/*' -print -quit)"
[[ -n "$library" ]] || murel_fail "libMurelEngine.so not found in $BUILD"

failures=0
fail()
{
    printf 'FAIL: %s\n' "$*"
    failures=$((failures + 1))
}

raw="$(nm -D --defined-only "$library" | awk '{ print $3 }')"
demangled="$(nm -DC --defined-only "$library" | cut -d' ' -f3-)"
echo "$(wc -l <<<"$raw") defined dynamic symbols in ${library#"$ROOT"/}"

soname="$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')"
major="$(sed -n 's/^ *VERSION \([0-9]*\)\..*/\1/p' "$ROOT/CMakeLists.txt" | head -n 1)"
if [[ "$soname" == "libMurelEngine.so.$major" ]]; then
    echo "SONAME $soname"
else
    fail "SONAME is '$soname', expected libMurelEngine.so.$major"
fi

declared()
{
    grep -rqE "$1" "$ROOT/engine" --include='*.h'
}

numOfClasses=0
for class in "${EXPECTED_CLASSES[@]}"; do
    if ! declared "(class|struct) +MUREL_EXPORT +$class\b"; then
        echo "skip: murel::$class is not declared yet"
        continue
    fi
    numOfClasses=$((numOfClasses + 1))
    grep -qE "murel::$class([:<]|$)" <<<"$demangled" || fail "class murel::$class exports nothing"
done

numOfFunctions=0
for function in "${EXPECTED_FUNCTIONS[@]}"; do
    declared "\b$function *\(" || continue
    numOfFunctions=$((numOfFunctions + 1))
    grep -qx "$function" <<<"$raw" || fail "C function $function is not exported under its plain name"
done
echo "checked $numOfClasses exported classes and $numOfFunctions C functions"

if forbidden="$(grep -E "$FORBIDDEN" <<<"$demangled")"; then
    fail "test, benchmark or third-party symbols are exported:"
    echo "$forbidden" | head -n 20
fi

# Everything else must belong to the engine or be vague linkage the compiler emits for it: standard
# library templates instantiated for it (a function template's name starts with its return type)
# and the type information of function types made of built-in types (std::function targets).
prefixes='((typeinfo name for|typeinfo for|vtable for|VTT for|guard variable for|non-virtual thunk to|virtual thunk to) )?'
returnType='([a-z_ ]+[*&]* )?'
builtinFunctionType='^typeinfo (name )?for [a-z ]+(\(\*\))? ?\([a-z ,*]*\)$'
if unexpected="$(grep -vE "murel|^${prefixes}${returnType}(std::|__gnu_cxx::)|${builtinFunctionType}|^(_init|_fini|_edata|_end|__bss_start)$" <<<"$demangled")"; then
    fail "symbols outside the engine are exported:"
    echo "$unexpected" | head -n 20
fi

if [[ $failures -ne 0 ]]; then
    echo "export check: $failures failures"
    exit 1
fi
echo "export check passed"
