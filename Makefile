# The two commands a new user needs: `make demo` and `make test`.
# Everything is built under build/; `make clean` removes it.

BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE      ?= cmake
FUZZ_SECONDS ?= 300

.PHONY: demo test bench fuzz clean

# The build's own output goes to $(BUILD)/release/*.log; compiler warnings
# and errors still show.
demo:
	@echo 'building cmdkit-demo (Release)...'
	@mkdir -p $(BUILD)/release
	@$(CMAKE) -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DCMDKIT_BUILD_TESTS=OFF \
		> $(BUILD)/release/configure.log 2>&1 || { cat $(BUILD)/release/configure.log; exit 1; }
	@$(CMAKE) --build $(BUILD)/release -j $(JOBS) -- --no-print-directory > $(BUILD)/release/build.log
	@echo '--- cmdkit-demo < examples/lines.txt  (PATH="bin;Program Files\Editor")'
	@cd examples && env 'PATH=bin;Program Files\Editor' 'COMSPEC=C:\Windows\System32\cmd.exe' \
		../$(BUILD)/release/cmdkit-demo < lines.txt
	@mkdir -p examples/run && cp $(BUILD)/release/examples/upper $(BUILD)/release/examples/count examples/run/
	@echo '--- cd examples && PATH="$$PWD/run" cmdkit-run "upper < lines.txt | count >> counts.txt"'
	@cd examples && PATH="$$PWD/run" ../$(BUILD)/release/cmdkit-run "upper < lines.txt | count >> counts.txt" \
		&& tail -n 1 counts.txt

test:
	@./scripts/test-all.sh

bench:
	./bench/run.sh

fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh

clean:
	rm -rf $(BUILD)
