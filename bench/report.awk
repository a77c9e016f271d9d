# Turns bench/run's measurements into Markdown tables. Input lines:
#   startup RUN PAIR PROGRAM MILLISECONDS PEAK_KB
#   flood   RUN PAIR MODE    MILLISECONDS STALL_MS
#   plain   RUN PAIR MODE    MILLISECONDS STALL_MS
#   device  RUN PAIR MODE    MILLISECONDS STALL_MS

function median(values, n,    sorted, i, j, v) {
    for (i = 1; i <= n; i++) {
        v = values[i]
        for (j = i - 1; j >= 1 && sorted[j] > v; j--)
            sorted[j + 1] = sorted[j]
        sorted[j + 1] = v
    }
    return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
}

function maximum(values, n,    i, m) {
    m = values[1]
    for (i = 2; i <= n; i++)
        if (values[i] > m)
            m = values[i]
    return m
}

# One figure per run, from the pairs of that run: how = "ratio" (a over b), "value" (a alone),
# "excess" (a minus b), "allowance" (a minus 1.05 b minus 250 ms: at most 0 meets the goal of the
# tool against dfu-util alone),
# and the runs' figures are summarised by "median" or "max" over pairs.
function perRun(section, column, how, a, b, over, run,    values, n, p, x) {
    n = 0
    for (p = 1; p <= pairs; p++) {
        if (!((section, run, p, a) in seen))
            continue
        x = figure[section, run, p, a, column]
        if (how == "ratio")
            x = x / figure[section, run, p, b, column]
        else if (how == "excess")
            x = x - figure[section, run, p, b, column]
        else if (how == "allowance")
            x = x - (1.05 * figure[section, run, p, b, column] + 250)
        values[++n] = x
    }
    if (n == 0)
        return ""
    return over == "max" ? maximum(values, n) : median(values, n)
}

function row(label, section, column, how, a, b, over, format, goal,    run, values, n, v) {
    n = 0
    for (run = 1; run <= runs; run++) {
        v = perRun(section, column, how, a, b, over, run)
        if (v != "")
            values[++n] = v
    }
    if (n == 0)
        return
    printf "| %s | " format " | " format " | " format " | %s |\n", label, minimum(values, n),
        median(values, n), maximum(values, n), goal
}

function minimum(values, n,    i, m) {
    m = values[1]
    for (i = 2; i <= n; i++)
        if (values[i] < m)
            m = values[i]
    return m
}

# The floods, with and without progress lines, give the same figures.
function floodRows(section) {
    row("total time, Brindleflash / reference reader", section, 1, "ratio", "window", "reference", "median", "%.3f", "<= 1.2")
    row("total time, Brindleflash (ms)", section, 1, "value", "window", "", "median", "%.0f", "")
    row("total time, reference reader (ms)", section, 1, "value", "reference", "", "median", "%.0f", "")
    row("longest stall, Brindleflash, worst pair (ms)", section, 2, "value", "window", "", "max", "%.1f", "<= 100")
    row("longest stall, Brindleflash (ms)", section, 2, "value", "window", "", "median", "%.1f", "")
    row("longest stall, reference reader, worst pair (ms)", section, 2, "value", "reference", "", "max", "%.1f", "")
}

function header(title) {
    printf "\n%s\n\n| figure | min | median | max | goal |\n|---|---|---|---|---|\n", title
}

{
    seen[$1, $2, $3, $4] = 1
    figure[$1, $2, $3, $4, 1] = $5
    figure[$1, $2, $3, $4, 2] = $6
    has[$1] = 1
}

END {
    printf "%d runs of %d pairs; each figure is a run's median over its pairs (max where noted),\n", runs, pairs
    printf "summarised by min / median / max over the runs.\n"

    if (has["startup"]) {
        header("Start-up to the window being mapped, and peak resident memory 300 ms later")
        row("start-up, Brindleflash / same widgets", "startup", 1, "ratio", "brindleflash", "same", "median", "%.3f", "<= 1.05")
        row("start-up, same widgets / empty window", "startup", 1, "ratio", "same", "empty", "median", "%.3f", "")
        row("start-up, Brindleflash (ms)", "startup", 1, "value", "brindleflash", "", "median", "%.1f", "")
        row("start-up, same widgets (ms)", "startup", 1, "value", "same", "", "median", "%.1f", "")
        row("start-up, empty window (ms)", "startup", 1, "value", "empty", "", "median", "%.1f", "")
        row("VmHWM, Brindleflash / same widgets", "startup", 2, "ratio", "brindleflash", "same", "median", "%.3f", "<= 1.02")
        row("VmHWM, same widgets / empty window", "startup", 2, "ratio", "same", "empty", "median", "%.3f", "")
        row("VmHWM, Brindleflash (kB)", "startup", 2, "value", "brindleflash", "", "median", "%.0f", "")
        row("VmHWM, same widgets (kB)", "startup", 2, "value", "same", "", "median", "%.0f", "")
        row("VmHWM, empty window (kB)", "startup", 2, "value", "empty", "", "median", "%.0f", "")
    }
    if (has["flood"]) {
        header("10 MiB of tool output, a progress line every 200 bytes, log hidden")
        floodRows("flood")
    }
    if (has["plain"]) {
        header("100 MiB of tool output without a progress line, log hidden")
        floodRows("plain")
    }
    if (has["device"]) {
        header("1 MiB update on brindleflash-devsim through the real dfu-util, device set-up included")
        row("tool without the backup - (1.05 x dfu-util alone + 250 ms) (ms)", "device", 1, "allowance", "nobackup", "dfuutil", "median", "%.1f", "<= 0")
        row("tool without the backup / dfu-util alone", "device", 1, "ratio", "nobackup", "dfuutil", "median", "%.3f", "")
        row("tool with the backup / without", "device", 1, "ratio", "tool", "nobackup", "median", "%.3f", "<= 1.2")
        row("tool (ms)", "device", 1, "value", "tool", "", "median", "%.0f", "")
        row("tool without the backup (ms)", "device", 1, "value", "nobackup", "", "median", "%.0f", "")
        row("dfu-util alone: download, upload, leave (ms)", "device", 1, "value", "dfuutil", "", "median", "%.0f", "")
        row("dfu-util alone without the upload (ms)", "device", 1, "value", "download", "", "median", "%.0f", "")
        row("dfu-util alone, without the upload / with it", "device", 1, "ratio", "download", "dfuutil", "median", "%.3f", "")
        row("press start to success box / tool alone", "device", 1, "ratio", "window", "tool", "median", "%.3f", "")
        row("press start to success box (ms)", "device", 1, "value", "window", "", "median", "%.0f", "")
        row("longest stall during the update, worst pair (ms)", "device", 2, "value", "window", "", "max", "%.1f", "<= 100")
        row("fwupdtool install of the same firmware as a cabinet (ms)", "device", 1, "value", "fwupd", "", "median", "%.0f", "")
        row("fwupdtool install / tool", "device", 1, "ratio", "fwupd", "tool", "median", "%.3f", "")
    }
}
