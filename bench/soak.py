#!/usr/bin/python3
"""Soak of the host-simulation daemon under broker and ECU faults (see soak.sh).

Runs a private mosquitto, ecu-sim and diag-gateway-sim, and plays the UI for
the given time: trouble-code reads and clears, live streaming, configuration
reloads, relay packets at random moments, the ECU unplugged and plugged back,
and the broker killed (SIGKILL) and restarted every 30 s. Records every
command and its answer, the relay lines after every relay packet, and the
daemon's RSS, descriptors, threads and CPU every 10 s; writes summary.json,
events.jsonl, messages.jsonl (every message the UI got, as it came),
samples.csv and soak.png to the output folder.

A command is failed when its answer does not come, unless it may have been
lost with the broker: it never reached the daemon, and the daemon's link was
down (from a broker kill until the daemon has subscribed again) while it was
on its way. A relay packet likewise. Status words the daemon
owes without a command (the bring-up after a replug, NOECU after an unplug)
must come, outage or not.

Growth: over the second half of the run a least-squares line is fitted to
each series, counted from the end of the start-up (first SAVSUC). RSS fails
when its slope is above 1 MiB per hour and its last sample is above the
first half's maximum; descriptors and threads fail when the second half never
comes back down into the first half's range (its minimum is above the first
half's maximum: a count that leaks climbs by whole steps and stays up).
"""
import argparse
import csv
import json
import os
import random
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

import paho.mqtt.client as mqtt

CMD_TOPIC = "dt/ui_to_app/cmd"
RESP_TOPIC = "dt/app_to_ui/resp"
ANSWER_TIMEOUT = 40.0      # generous: ECU waits, a broker outage, a loaded machine
HANDOVER_WINDOW = 3.0      # a command on its way to the daemon, for the outage rule
RELAY_WAIT = 10.0
SAMPLE_PERIOD = 10.0
BROKER_PERIOD = 30.0
RSS_SLOPE_LIMIT_KB_PER_H = 1024.0

# Relay -> (chip, line); relays are low-active.
RELAY_LINES = {0: (4, 10), 1: (4, 11), 3: (4, 0), 6: (4, 14), 8: (4, 13),
               2: (3, 31), 4: (3, 27), 5: (3, 26), 7: (3, 25),
               9: (0, 20), 10: (0, 21), 11: (0, 13)}
GPIO_LINE = re.compile(r"SIM_GPIO : gpiochip(\d+) line (\d+) -> (low|high)")
PACKET_LINE = re.compile(r"DO_INFO : PACKET : .*\"SOAK\":(\d+)")
HANDOVER_LINE = re.compile(r"\[DEBUG\] TYP=1, CMD=(-?\d+)")
SUBSCRIBED_LINE = "INTR_MQTT_INFO : successfully Subscribed topics"


def now():
    return time.monotonic()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """mosquitto on a fixed port, killed and started again by the chaos thread."""

    def __init__(self, work, port):
        self.port = port
        self.conf = os.path.join(work, "mosquitto.conf")
        self.log = open(os.path.join(work, "mosquitto.log"), "ab")
        with open(self.conf, "w") as f:
            f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        self.proc = None
        self.outages = []  # [start, end]; end None while down
        self.lock = threading.Lock()

    def start(self):
        self.proc = subprocess.Popen(["/usr/sbin/mosquitto", "-c", self.conf],
                                     stdout=self.log, stderr=subprocess.STDOUT)
        deadline = now() + 10
        while now() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        with self.lock:
            if self.outages and self.outages[-1][1] is None:
                self.outages[-1][1] = now()

    def kill(self):
        with self.lock:
            self.outages.append([now(), None])
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def kills(self):
        with self.lock:
            return [s for s, _ in self.outages]

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class DaemonLog:
    """Follows the daemon's log and keeps the lines the checks need."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.RLock()  # the checks read several lists under it
        self.handovers = []    # (t, cmd)
        self.subscribed = []   # t of every (re)subscription of the daemon's link
        self.packets = {}      # SOAK number -> t the daemon took it
        self.packet_order = []
        self.transitions = {}  # (chip, line) -> [(t, level)]
        self.sanitizer = []
        self.offset = 0
        self.partial = b""

    def poll(self):
        with self.lock:
            self._read_new_lines()

    def _read_new_lines(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                chunk = f.read()
        except FileNotFoundError:
            return
        self.offset += len(chunk)
        data = self.partial + chunk
        lines = data.split(b"\n")
        self.partial = lines.pop()
        t = now()
        for raw in lines:
            line = raw.decode("utf-8", "replace")
            if SUBSCRIBED_LINE in line:
                self.subscribed.append(t)
            elif m := HANDOVER_LINE.search(line):
                self.handovers.append((t, int(m.group(1))))
            elif m := PACKET_LINE.search(line):
                n = int(m.group(1))
                self.packets[n] = t
                self.packet_order.append(n)
            elif m := GPIO_LINE.search(line):
                key = (int(m.group(1)), int(m.group(2)))
                self.transitions.setdefault(key, []).append((t, m.group(3)))
            elif any(s in line for s in ("runtime error:", "AddressSanitizer", "ThreadSanitizer")):
                self.sanitizer.append(line)

    def handed_over(self, cmd, since):
        with self.lock:
            return any(t >= since and c == cmd for t, c in self.handovers)


class Ui:
    """The UI's MQTT client: reconnects by itself, keeps every message it gets."""

    def __init__(self, port):
        self.messages = []  # (t, doc)
        self.recording = []  # (topic, text) as they came, for tools/api/check_messages.py
        self.cond = threading.Condition()
        self.client = mqtt.Client(client_id=f"soak-ui-{os.getpid()}", clean_session=True)
        self.subscribed = threading.Event()
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(RESP_TOPIC, qos=1)
        self.client.on_subscribe = lambda c, u, mid, qos: self.subscribed.set()
        self.client.on_message = self._arrived
        self.client.reconnect_delay_set(min_delay=0.1, max_delay=0.5)
        self.client.connect_async("127.0.0.1", port, keepalive=10)
        self.client.loop_start()

    def _arrived(self, client, userdata, msg):
        try:
            doc = json.loads(msg.payload)
        except ValueError:
            doc = {"unparsed": msg.payload.decode("utf-8", "replace")}
        with self.cond:
            self.messages.append((now(), doc))
            self.recording.append((msg.topic, msg.payload.decode("utf-8", "replace")))
            self.cond.notify_all()

    def wait_subscribed(self, timeout):
        return self.subscribed.wait(timeout)

    def send(self, payload):
        self.client.publish(CMD_TOPIC, json.dumps(payload, separators=(",", ":")), qos=1)

    def wait_for(self, match, since, timeout):
        """First message after `since` that `match` accepts: (t, doc) or None."""
        deadline = now() + timeout
        with self.cond:
            while True:
                for t, doc in self.messages:
                    if t >= since and match(doc):
                        return t, doc
                left = deadline - now()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def stop(self):
        self.client.loop_stop()


def status_word(doc):
    data = doc.get("DATA") if isinstance(doc, dict) else None
    return data.get("msg") if isinstance(data, dict) and "ERROR" in doc else None


def is_cmd(doc, cmd):
    return isinstance(doc, dict) and doc.get("CMD") == cmd


class Soak:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.work = args.out
        self.stop_at = now() + args.minutes * 60
        self.t0 = now()
        self.events = []
        self.samples = []
        self.failures = []
        self.lock = threading.Lock()
        self.relay_model = {r: 0 for r in RELAY_LINES}
        self.relays_sent = {}  # SOAK number -> (t, {relay: state})
        self.plugged = True
        self.broker_cycles = 0
        self.unplugs = 0
        self.ready_at = 0.0
        self.procs = []

    # ---- processes ---------------------------------------------------------------
    def start_processes(self):
        a = self.args
        configs = os.path.join(self.work, "configs")
        os.makedirs(os.path.join(configs, "default_config"), exist_ok=True)
        for src, dst in [("configs/config.json", "config.json"),
                         ("configs/default_config/default_config.json", "default_config/default_config.json")]:
            with open(os.path.join(a.source, src), "rb") as f, open(os.path.join(configs, dst), "wb") as g:
                g.write(f.read())
        self.broker = Broker(self.work, free_port())
        self.broker.start()
        # The UI listens before the daemon starts, so nothing it says is missed.
        self.ui = Ui(self.broker.port)
        if not self.ui.wait_subscribed(10):
            raise RuntimeError("the UI client could not subscribe")
        sock = os.path.join(self.work, "ecu.sock")
        self.sim = subprocess.Popen([os.path.join(a.build, "ecu-sim"), "--profile", a.vehicle, "--unix", sock,
                                     "--quiet"], stdout=open(os.path.join(self.work, "ecu-sim.log"), "wb"),
                                    stderr=subprocess.STDOUT)
        self.procs.append(self.sim)
        while not os.path.exists(sock):
            time.sleep(0.05)
        env = dict(os.environ, DIAG_GW_CONFIG_DIR=configs, DIAG_GW_CAN_SOCKET=sock,
                   DIAG_GW_BROKER=f"tcp://127.0.0.1:{self.broker.port}")
        log_path = os.path.join(self.work, "daemon.log")
        self.daemon = subprocess.Popen([os.path.join(a.build, "diag-gateway-sim")], env=env,
                                       stdout=open(log_path, "wb"), stderr=subprocess.STDOUT,
                                       stdin=subprocess.DEVNULL)
        self.procs.append(self.daemon)
        self.log = DaemonLog(log_path)

    def stop_processes(self):
        self.ui.stop()
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
        self.broker.stop()

    # ---- background threads -------------------------------------------------------
    def running(self):
        return now() < self.stop_at and self.daemon.poll() is None

    def log_follower(self):
        while self.running():
            self.log.poll()
            time.sleep(0.05)

    def broker_chaos(self):
        next_kill = now() + BROKER_PERIOD
        while self.running():
            time.sleep(0.1)
            if now() < next_kill:
                continue
            self.broker.kill()
            time.sleep(self.rng.uniform(0.5, 3.0))
            self.broker.start()
            self.broker_cycles += 1
            next_kill += BROKER_PERIOD

    def sampler(self):
        pid = self.daemon.pid
        hz = os.sysconf("SC_CLK_TCK")
        while self.running():
            try:
                with open(f"/proc/{pid}/status") as f:
                    status = dict(line.split(":", 1) for line in f if ":" in line)
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                fds = len(os.listdir(f"/proc/{pid}/fd"))
            except OSError:
                break
            self.samples.append({"t": round(now() - self.t0, 1),
                                 "rss_kb": int(status["VmRSS"].split()[0]),
                                 "fds": fds, "threads": int(status["Threads"]),
                                 "cpu_s": (int(fields[11]) + int(fields[12])) / hz})
            time.sleep(SAMPLE_PERIOD)

    def relay_sender(self):
        n = 0
        while self.running():
            time.sleep(self.rng.uniform(0.5, 6.0))
            n += 1
            states = {r: self.rng.randint(0, 1) for r in self.rng.sample(sorted(RELAY_LINES),
                                                                       self.rng.randint(1, 5))}
            with self.lock:
                self.relays_sent[n] = (now(), states)
            self.ui.send({"TYP": 2, "SOAK": n,
                          "DATA": {"params": {"DO": {f"DO{r}": s for r, s in states.items()}}}})

    def link_was_down(self, start, end):
        """Was the daemon's link down at some moment of [start, end]: from a
        broker kill until the daemon had subscribed again? A message published
        then has nobody to go to (clean session) and may be lost."""
        with self.log.lock:
            ups = list(self.log.subscribed)
        for kill in self.broker.kills():
            up = next((t for t in ups if t > kill), None)
            if kill <= end and (up is None or up >= start):
                return True
        return False

    # ---- the scripted UI -----------------------------------------------------------
    def record(self, kind, cmd, sent, answer, expected, **extra):
        """One command or event and whether its answer came."""
        event = {"t": round(sent - self.t0, 3), "kind": kind, "cmd": cmd, "expected": expected}
        if answer is not None:
            event["answered"] = True
            event["latency_ms"] = round((answer[0] - sent) * 1000, 1)
        else:
            # Only a command may be lost with the broker: status words the
            # daemon owes (bring-up, ECU lost) are due once the link is back.
            reached = cmd is not None and self.log.handed_over(cmd, sent)
            excused = (cmd is not None and not reached and
                       self.link_was_down(sent - 0.5, sent + HANDOVER_WINDOW))
            event["answered"] = False
            event["excused"] = excused
            if not excused:
                self.failures.append(f"{kind} at {event['t']} s: no {expected}"
                                     + (" (the daemon had taken the command)" if reached else ""))
        event.update(extra)
        self.events.append(event)

    def command(self, cmd, expected, match):
        sent = now()
        self.ui.send({"TYP": 1, "CMD": cmd})
        self.record("command", cmd, sent, self.ui.wait_for(match, sent, ANSWER_TIMEOUT), expected)

    def read_codes(self):
        self.command(1, "trouble codes", lambda d: is_cmd(d, 1))

    def clear_codes(self):
        self.command(4, "DTC_CLEARED", lambda d: is_cmd(d, 4))

    def reload(self):
        self.command(10, "SAVSUC", lambda d: status_word(d) == "SAVSUC")

    def stream(self):
        sent = now()
        self.ui.send({"TYP": 1, "CMD": 2})
        first = self.ui.wait_for(lambda d: is_cmd(d, 2), sent, ANSWER_TIMEOUT)
        time.sleep(self.rng.uniform(2.0, 8.0))
        stop = now()
        self.ui.send({"TYP": 1, "CMD": 3})
        cycles = sum(1 for t, d in self.ui.messages if sent <= t <= stop and is_cmd(d, 2))
        self.record("command", 2, sent, first, "live data", cycles=cycles)
        # Stopped: no live data later than a few seconds after the stop was taken.
        time.sleep(3.0)
        with self.log.lock:
            taken = [t for t, c in self.log.handovers if t >= stop and c == 3]
        if taken:
            # A document published before the stop but not acknowledged when
            # the broker was killed is published again after the reconnect:
            # owed, not a stream going on.
            late = [t for t, d in self.ui.messages
                    if t > taken[0] + 2.5 and is_cmd(d, 2) and not self.link_was_down(stop, t)]
            if late:
                self.failures.append(f"live data went on after the stop at {round(stop - self.t0, 1)} s")

    def unplug_and_replug(self):
        self.unplugs += 1
        sent = now()
        self.sim.send_signal(signal.SIGUSR1)
        self.record("unplug", None, sent,
                    self.ui.wait_for(lambda d: status_word(d) == "NOECU", sent, ANSWER_TIMEOUT), "NOECU")
        time.sleep(self.rng.uniform(2.0, 10.0))
        sent = now()
        self.sim.send_signal(signal.SIGUSR2)
        self.record("replug", None, sent,
                    self.ui.wait_for(lambda d: status_word(d) == "SAVSUC", sent, ANSWER_TIMEOUT), "SAVSUC")

    def script(self):
        start = now()
        self.record("start", None, start,
                    self.ui.wait_for(lambda d: status_word(d) == "SAVSUC", start - 60, 60), "SAVSUC")
        self.ready_at = now() - self.t0
        actions = [(self.read_codes, 30), (self.stream, 20), (self.clear_codes, 10), (self.reload, 10),
                   (self.unplug_and_replug, 5)]
        next_report = now() + 300
        while self.running():
            action = self.rng.choices([a for a, _ in actions], [w for _, w in actions])[0]
            action()
            time.sleep(self.rng.uniform(0.2, 3.0))
            if now() >= next_report:
                next_report += 300
                answered = sum(1 for e in self.events if e["answered"])
                print(f"soak: {round((now() - self.t0) / 60)} min, {len(self.events)} commands and events, "
                      f"{answered} answered, {self.broker_cycles} broker kills, {len(self.failures)} failures",
                      flush=True)

    # ---- relays -------------------------------------------------------------------
    def check_relays(self):
        """Each line must have switched exactly as the packets the daemon took,
        in the order it took them, say; sent packets it never took are lost."""
        time.sleep(RELAY_WAIT / 2)
        self.log.poll()
        with self.lock, self.log.lock:
            expected = {key: [] for key in RELAY_LINES.values()}
            state = {r: 0 for r in RELAY_LINES}
            applied, lost, excused = 0, 0, 0
            for n in self.log.packet_order:
                applied += 1
                for relay, value in self.relays_sent[n][1].items():
                    if state[relay] != value:
                        state[relay] = value
                        expected[RELAY_LINES[relay]].append("low" if value else "high")
            if self.log.packet_order != sorted(self.log.packet_order):
                self.failures.append("relay packets were taken out of order")
            for n, (sent, _) in self.relays_sent.items():
                if n in self.log.packets or sent > now() - RELAY_WAIT:
                    continue
                if self.link_was_down(sent - 0.5, sent + HANDOVER_WINDOW):
                    excused += 1
                else:
                    lost += 1
                    self.failures.append(f"relay packet {n} sent at {round(sent - self.t0, 1)} s never taken")
            mismatched = []
            for key, levels in expected.items():
                observed = [level for t, level in self.log.transitions.get(key, [])]
                if observed != levels:
                    mismatched.append(f"gpiochip{key[0]} line {key[1]}: {len(observed)} switches seen, "
                                      f"{len(levels)} expected")
            if mismatched:
                self.failures.append("relay lines differ from the packets taken: " + "; ".join(mismatched[:4]))
            return {"sent": len(self.relays_sent), "taken": applied, "lost": lost, "excused_lost": excused,
                    "lines_matching": not mismatched}

    def wait_for_relay_lines(self):
        """The lines the daemon sets high when it claims them; switches count from then on."""
        deadline = now() + 30
        while now() < deadline:
            self.log.poll()
            with self.log.lock:
                if len(self.log.transitions) >= len(RELAY_LINES):
                    self.log.transitions.clear()
                    return True
            time.sleep(0.05)
        return False

    # ---- figures ------------------------------------------------------------------
    def growth(self):
        # From the end of the start-up on: the threads and sockets it opens are no growth.
        settled = [s for s in self.samples if s["t"] >= self.ready_at]
        if not settled:
            return {"judged": False}
        middle = (settled[0]["t"] + settled[-1]["t"]) / 2
        half = [s for s in settled if s["t"] >= middle]
        first = [s for s in settled if s["t"] < middle]
        verdict = {}
        if len(half) < 3 or not first:
            return {"judged": False}
        for key in ("rss_kb", "fds", "threads"):
            xs = [s["t"] / 3600 for s in half]
            ys = [s[key] for s in half]
            slope = statistics.linear_regression(xs, ys).slope if len(set(xs)) > 1 else 0.0
            if key == "rss_kb":
                grows = slope > RSS_SLOPE_LIMIT_KB_PER_H and ys[-1] > max(s[key] for s in first)
            else:
                grows = min(ys) > max(s[key] for s in first)
            verdict[key] = {"first": settled[0][key], "last": ys[-1], "max": max(s[key] for s in self.samples),
                            "second_half_slope_per_h": round(slope, 1), "unbounded": grows}
            if grows:
                self.failures.append(f"{key} grows over the second half ({round(slope, 1)} per hour)")
        verdict["judged"] = True
        return verdict

    def latency_figures(self):
        out = {}
        for cmd in sorted({e["cmd"] for e in self.events if e.get("latency_ms") is not None}, key=str):
            values = sorted(e["latency_ms"] for e in self.events if e["cmd"] == cmd and "latency_ms" in e)
            out[str(cmd)] = {"answers": len(values), "p50_ms": values[len(values) // 2],
                             "p95_ms": values[min(len(values) - 1, int(len(values) * 0.95))], "max_ms": values[-1]}
        return out

    def plot(self, path):
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, axes = plt.subplots(3, 1, figsize=(10, 9), sharex=True)
        ts = [s["t"] / 60 for s in self.samples]
        axes[0].plot(ts, [s["rss_kb"] / 1024 for s in self.samples], color="tab:blue")
        axes[0].set_ylabel("RSS (MiB)")
        axes[0].set_ylim(bottom=0)
        axes[1].plot(ts, [s["fds"] for s in self.samples], label="open descriptors", color="tab:green")
        axes[1].plot(ts, [s["threads"] for s in self.samples], label="threads", color="tab:orange")
        axes[1].set_ylim(bottom=0)
        axes[1].legend(loc="lower right")
        for kind, colour in (("command", "tab:purple"), ("replug", "tab:red"), ("unplug", "tab:brown")):
            pts = [(e["t"] / 60, e["latency_ms"]) for e in self.events if e["kind"] == kind and "latency_ms" in e]
            if pts:
                axes[2].scatter(*zip(*pts), s=8, color=colour, label=f"{kind} answers")
        lost = [e["t"] / 60 for e in self.events if not e["answered"]]
        for t in lost:
            axes[2].axvline(t, color="red", alpha=0.3)
        axes[2].set_yscale("log")
        axes[2].set_ylabel("answer latency (ms)")
        axes[2].set_xlabel("minutes")
        axes[2].legend(loc="upper right")
        for start, end in self.broker.outages:
            for ax in axes:
                ax.axvspan((start - self.t0) / 60, ((end or start) - self.t0) / 60, color="grey", alpha=0.15)
        fig.suptitle("diag-gateway-sim soak: broker killed every 30 s (grey), ECU unplugged now and then")
        fig.tight_layout()
        fig.savefig(path, dpi=90)

    # ---- the run ------------------------------------------------------------------
    def run(self):
        self.start_processes()
        threads = [threading.Thread(target=f, daemon=True) for f in (self.log_follower, self.sampler)]
        for t in threads:
            t.start()
        if not self.wait_for_relay_lines():
            self.failures.append("the daemon never claimed its relay lines")
        workers = [threading.Thread(target=f, daemon=True) for f in (self.broker_chaos, self.relay_sender)]
        for t in workers:
            t.start()
        try:
            self.script()
        finally:
            for t in threads + workers:
                t.join(timeout=15)
            alive = self.daemon.poll() is None
            relays = self.check_relays()
            self.stop_processes()
        if not alive:
            self.failures.append(f"the daemon ended during the run (exit {self.daemon.returncode})")
        self.failures.extend(f"sanitizer: {line}" for line in self.log.sanitizer[:5])
        growth = self.growth()
        cpu = self.samples[-1]["cpu_s"] if self.samples else 0.0
        duration = self.samples[-1]["t"] if self.samples else 0.0
        summary = {
            "minutes": round((now() - self.t0) / 60, 1), "seed": self.args.seed,
            "broker_kill_cycles": self.broker_cycles, "ecu_unplugs": self.unplugs,
            "commands": {
                "sent": sum(1 for e in self.events if e["kind"] == "command"),
                "answered": sum(1 for e in self.events if e["kind"] == "command" and e["answered"]),
                "lost_with_broker": sum(1 for e in self.events if e.get("excused")),
                "lost": sum(1 for e in self.events if not e["answered"] and not e.get("excused")),
                "by_cmd": {str(c): sum(1 for e in self.events if e["cmd"] == c) for c in (1, 2, 4, 10)},
            },
            "latency": self.latency_figures(), "relays": relays, "growth": growth,
            "cpu_percent_of_one_core": round(100 * cpu / duration, 2) if duration else None,
            "failures": self.failures, "passed": not self.failures,
        }
        with open(os.path.join(self.work, "events.jsonl"), "w") as f:
            for e in self.events:
                f.write(json.dumps(e) + "\n")
        with self.ui.cond, open(os.path.join(self.work, "messages.jsonl"), "w") as f:
            for topic, text in self.ui.recording:
                f.write(json.dumps({"topic": topic, "payload": text}) + "\n")
        with open(os.path.join(self.work, "samples.csv"), "w", newline="") as f:
            w = csv.DictWriter(f, fieldnames=["t", "rss_kb", "fds", "threads", "cpu_s"])
            w.writeheader()
            w.writerows(self.samples)
        with open(os.path.join(self.work, "summary.json"), "w") as f:
            json.dump(summary, f, indent=2)
        self.plot(os.path.join(self.work, "soak.png"))
        return summary


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--minutes", type=float, default=60)
    p.add_argument("--build", required=True)
    p.add_argument("--source", required=True)
    p.add_argument("--vehicle", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--seed", type=int, default=int(time.time()))
    args = p.parse_args()
    os.makedirs(args.out, exist_ok=True)
    summary = Soak(args).run()
    print(json.dumps({k: summary[k] for k in ("minutes", "broker_kill_cycles", "ecu_unplugs", "commands",
                                              "latency", "relays", "cpu_percent_of_one_core")}, indent=1))
    for failure in summary["failures"]:
        print("SOAK FAILURE:", failure)
    print(f"soak {'passed' if summary['passed'] else 'FAILED'}; figures in {args.out}")
    return 0 if summary["passed"] else 1


if __name__ == "__main__":
    sys.exit(main())
