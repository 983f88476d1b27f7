// Rust's side of the start race: `rust MODE N PROGRAM` with the standard
// library's Command: status() (streams inherited) or output() (output and
// errors captured, the input the null device).  std only; the clocks come
// from the C library the standard library links already.
use std::process::Command;

#[repr(C)]
struct Timespec {
    seconds: i64,
    nanoseconds: i64,
}
#[repr(C)]
struct Timeval {
    seconds: i64,
    microseconds: i64,
}
#[repr(C)]
struct Rusage {
    user: Timeval,
    system: Timeval,
    rest: [i64; 14],
}
extern "C" {
    fn clock_gettime(clock: i32, now: *mut Timespec) -> i32;
    fn getrusage(who: i32, usage: *mut Rusage) -> i32;
}

fn seconds_of(clock: i32) -> f64 {
    let mut now = Timespec { seconds: 0, nanoseconds: 0 };
    unsafe { clock_gettime(clock, &mut now) };
    now.seconds as f64 + now.nanoseconds as f64 * 1e-9
}

fn cpu_with_children() -> f64 {
    let mut total = 0.0;
    for who in [0, -1] {
        let mut usage = Rusage {
            user: Timeval { seconds: 0, microseconds: 0 },
            system: Timeval { seconds: 0, microseconds: 0 },
            rest: [0; 14],
        };
        unsafe { getrusage(who, &mut usage) };
        for time in [&usage.user, &usage.system] {
            total += time.seconds as f64 + time.microseconds as f64 * 1e-6;
        }
    }
    total
}

fn main() {
    let args: Vec<String> = std::env::args().collect();
    let capture = args[1] == "capture";
    let calls: u32 = args[2].parse().unwrap();
    let (wall, thread, all) = (seconds_of(1), seconds_of(3), cpu_with_children());
    for _ in 0..calls {
        let ok = if capture {
            Command::new(&args[3]).output().unwrap().status.success()
        } else {
            Command::new(&args[3]).status().unwrap().success()
        };
        assert!(ok);
    }
    let per = |from: f64, to: f64| (to - from) * 1e6 / calls as f64;
    println!(
        "{:.2} {:.2} {:.2}",
        per(wall, seconds_of(1)),
        per(thread, seconds_of(3)),
        per(all, cpu_with_children())
    );
}
