"""Load and faults over loopback: many connections at once, steady viewers
amid churning clients, several sending threads, a restart under load and a
viewer whose port is closed. Bounded in count and time; prints its figures.
(A viewer over IPv6 beside IPv4 ones: tests/python/test_delivery.py.)"""

import random
import resource
import socket
import threading
import time

from support import RtspClient, descriptors, rss_kib, rtp_fields, start_server, threads, wait_for

SO_RCVBUFFORCE = 33


def test_500_connections_at_once_then_back_to_baseline():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    server, port = start_server()
    try:
        time.sleep(0.2)
        base = (threads(), descriptors(), rss_kib())
        clients = [RtspClient("127.0.0.1", port, rtp=False, timeout=10) for _ in range(500)]
        for i, client in enumerate(clients):
            client.send("OPTIONS", "*", cseq=i)
        answered = 0
        for i, client in enumerate(clients):
            try:
                head = client.response().head
            except AssertionError:  # closed unanswered
                continue
            answered += head.startswith("RTSP/1.0 200 OK") and f"CSeq: {i}\r\n" in head
        peak = (threads(), descriptors(), rss_kib())
        for client in clients:
            client.close()
        back = wait_for(lambda: threads() <= base[0] and descriptors() <= base[1], 10.0)
        after = (threads(), descriptors(), rss_kib())
        print(f"\n500 at once: answered {answered}; threads {base[0]} -> {peak[0]} -> {after[0]}, "
              f"descriptors {base[1]} -> {peak[1]} -> {after[1]}, "
              f"RSS {base[2]} -> {peak[2]} -> {after[2]} KiB")
        assert answered == 500
        assert back, f"threads/descriptors not back: {after} vs {base}"
        # Thread stacks are returned; what stays is the allocator's caches.
        assert after[2] - base[2] < 16 * 1024
    finally:
        server.stop()


def seqs(packets):
    return [rtp_fields(p)["seq"] for p in packets]


def contiguous(numbers):
    return all((b - a) % 65536 == 1 for a, b in zip(numbers, numbers[1:]))


def churn(port, count, stop, stats):
    rng = random.Random(count)
    for _ in range(count):
        if stop.is_set():
            return
        try:
            player = RtspClient("127.0.0.1", port)
            player.start_playing()
            ending = rng.choice(("close", "half", "teardown"))
            if ending == "half":
                player.control.sendall(b"GET_PARAMETER rtsp://127.0.0.1/stream RTSP/1.0\r\nCSe")
            elif ending == "teardown":
                player.request("TEARDOWN")
            player.close()
            stats[ending] = stats.get(ending, 0) + 1
        except OSError:
            stats["error"] = stats.get("error", 0) + 1


def test_steady_viewers_amid_churn_threads_and_a_restart():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    server, port = start_server()
    steady = []
    try:
        for _ in range(200):
            player = RtspClient("127.0.0.1", port)
            player.rtp.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)
            player.start_playing()
            steady.append(player)
        closed_port = steady.pop()
        closed_port.rtp.close()  # its datagrams are refused from now on

        stop = threading.Event()
        stats = {}
        churners = [threading.Thread(target=churn, args=(port, 250, stop, stats)) for _ in range(4)]
        frame = b"\x00\x00\x00\x01\x41" + bytes(range(1, 251)) * 10  # two packets a frame
        sent = [0]
        lock = threading.Lock()

        def feed(seconds):
            until = time.monotonic() + seconds
            while time.monotonic() < until:
                server.send_frame(frame, 3000)
                with lock:
                    sent[0] += 1
                time.sleep(1 / 30)

        feeders = [threading.Thread(target=feed, args=(8,)) for _ in range(3)]
        for thread in churners + feeders:
            thread.start()
        time.sleep(3)
        server.stop()  # connections stay; their sessions keep receiving
        restarted = False
        for _ in range(50):
            try:
                server.start()
                restarted = True
                break
            except RuntimeError:
                time.sleep(0.05)
        for thread in feeders:
            thread.join(30)
        stop.set()
        for thread in churners:
            thread.join(60)
        assert restarted
        assert not any(thread.is_alive() for thread in churners + feeders)

        lost = reordered = 0
        received = 0
        for player in steady:
            got = seqs(player.receive(timeout=0.2))
            received += len(got)
            reordered += sum(1 for a, b in zip(got, got[1:]) if (b - a) % 65536 > 32768)
            lost += sum((b - a) % 65536 - 1 for a, b in zip(got, got[1:]) if 0 < (b - a) % 65536 <= 32768)
        churned = sum(v for k, v in stats.items() if k != "error")
        print(f"\nsteady viewers {len(steady)}, frames {sent[0]} from 3 threads, packets received "
              f"{received}, lost {lost}, reordered {reordered}; churned clients {churned} {stats}")
        assert sent[0] > 300
        assert lost == 0 and reordered == 0
        # Every steady viewer played before the first frame: each got them all.
        assert received == len(steady) * 2 * sent[0]
        assert churned >= 900
        # Every vanished session is gone: only the steady ones (and the viewer
        # whose port is closed, which still plays) are left.
        expected = {p.session for p in steady} | {closed_port.session}
        assert wait_for(lambda: {v.session_id for v in server.get_viewers()} == expected, 15)
    finally:
        server.stop()
        for player in steady:
            player.close()
