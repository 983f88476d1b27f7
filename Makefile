# The two commands a new user needs: `make demo` and `make test`.
# Everything is built under build/; `make clean` removes it.

BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE      ?= cmake
FUZZ_SECONDS ?= 300

.PHONY: demo test bench fuzz clean

demo:
	$(CMAKE) -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DCMDKIT_BUILD_TESTS=OFF
	$(CMAKE) --build $(BUILD)/release -j $(JOBS)
	@echo '--- cmdkit-demo < examples/lines.txt  (PATH="bin;Program Files\Editor")'
	cd examples && env 'PATH=bin;Program Files\Editor' 'COMSPEC=C:\Windows\System32\cmd.exe' \
		../$(BUILD)/release/cmdkit-demo < lines.txt

test:
	./scripts/test-all.sh

bench:
	./bench/run.sh

fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh

clean:
	rm -rf $(BUILD)
