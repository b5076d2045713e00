// The timeline: slider over the cache's frames, stored times marked above it (failed ones in
// red), play/pause at a frame rate, steps, and the current frame and time in ticks. Playback
// moves on only once the frame shown has been drawn (or has failed), so no frame is skipped;
// the rate reached is shown beside the one asked for.

const $ = (id) => document.getElementById(id);
const INSET = 8; // half the slider thumb: where the track starts and ends

export class Timeline {
  constructor(onSeek) {
    this.onSeek = onSeek;
    this.start = 0;
    this.end = 0;
    this.ticksPerFrame = 1;
    this.frame = 0;
    this.stored = new Int32Array(0);
    this.failed = new Set();
    this.playing = false;
    // A live cache: playback waits at the newest frame instead of starting over.
    this.follow = false;
    this.lastStep = 0;
    this.steps = [];
    this.timer = 0;
    this.slider = $('slider');
    this.marks = $('marks');
    this.slider.addEventListener('input', () => this.seek(Number(this.slider.value)));
    $('frame').addEventListener('change', () => {
      const frame = Number($('frame').value);
      if (Number.isFinite(frame)) this.seek(frame);
    });
    $('play').addEventListener('click', () => this.setPlaying(!this.playing));
    $('back').addEventListener('click', () => this.step(-1));
    $('forward').addEventListener('click', () => this.step(1));
    $('first').addEventListener('click', () => this.seek(this.start));
    window.addEventListener('keydown', (event) => {
      if (event.target.tagName === 'INPUT' || event.target.tagName === 'SELECT') return;
      const keys = { ' ': () => this.setPlaying(!this.playing), ArrowLeft: () => this.step(-1),
        ArrowRight: () => this.step(1), Home: () => this.seek(this.start),
        End: () => this.seek(this.end) };
      if (keys[event.key]) {
        event.preventDefault();
        keys[event.key]();
      }
    });
    new ResizeObserver(() => this.drawMarks()).observe(this.marks);
  }

  // The range in frames; called again when the cache grows.
  setRange(startTicks, endTicks, ticksPerFrame) {
    this.ticksPerFrame = ticksPerFrame > 0 ? ticksPerFrame : 1;
    this.start = startTicks / this.ticksPerFrame;
    this.end = endTicks / this.ticksPerFrame;
    this.slider.min = this.start;
    this.slider.max = this.end;
    this.drawMarks();
  }

  setStoredTimes(ticks) {
    this.stored = ticks;
    this.drawMarks();
  }

  markFailed(ticks) {
    if (this.failed.has(ticks)) return;
    this.failed.add(ticks);
    document.body.dataset.failed = [...this.failed].sort((a, b) => a - b).join(' ');
    this.drawMarks();
  }

  clamp(frame) {
    return Math.min(this.end, Math.max(this.start, frame));
  }

  ticks(frame) {
    return Math.round(frame * this.ticksPerFrame);
  }

  // Shows a frame without asking for it.
  show(frame) {
    this.frame = frame;
    this.slider.value = frame;
    $('frame').value = Number(frame.toFixed(4));
    $('ticks').textContent = `${this.ticks(frame)} ticks`;
  }

  seek(frame) {
    this.show(this.clamp(frame));
    this.onSeek(this.frame);
  }

  step(direction) {
    const whole = direction > 0 ? Math.floor(this.frame) + 1 : Math.ceil(this.frame) - 1;
    this.seek(whole);
  }

  setPlaying(playing) {
    this.playing = playing;
    $('play').textContent = playing ? '❚❚' : '▶';
    clearTimeout(this.timer);
    this.steps = [];
    $('rate').textContent = '';
    if (playing) this.advance();
    else this.onSeek(this.frame, true);
  }

  // The frame that playback shows after the current one.
  next() {
    const next = Math.floor(this.frame) + 1;
    if (next <= this.end) return next;
    return this.follow ? this.end : this.start;
  }

  advance() {
    if (!this.playing) return;
    if (this.next() === this.frame) {
      // At the newest frame of a live cache: look again once the timeline may have grown.
      clearTimeout(this.timer);
      this.timer = setTimeout(() => this.advance(), 250);
      return;
    }
    this.lastStep = performance.now();
    this.steps.push(this.lastStep);
    while (this.steps.length > 1 && this.lastStep - this.steps[0] > 2000) this.steps.shift();
    if (this.steps.length > 1) {
      const rate = (this.steps.length - 1) / ((this.lastStep - this.steps[0]) / 1000);
      $('rate').textContent = `${rate.toFixed(1)} fps reached`;
    }
    this.seek(this.next());
  }

  // The frame asked for has been drawn or has failed: playback may move on.
  drawn() {
    if (!this.playing) return;
    const fps = Math.min(120, Math.max(1, Number($('fps').value) || 24));
    const wait = Math.max(0, this.lastStep + 1000 / fps - performance.now());
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.advance(), wait);
  }

  drawMarks() {
    const canvas = this.marks;
    const scale = window.devicePixelRatio || 1;
    canvas.width = Math.max(1, Math.round(canvas.clientWidth * scale));
    canvas.height = Math.round(10 * scale);
    const context = canvas.getContext('2d');
    context.clearRect(0, 0, canvas.width, canvas.height);
    const span = this.end - this.start;
    const x = (ticks) => {
      const position = span > 0 ? (ticks / this.ticksPerFrame - this.start) / span : 0.5;
      return INSET * scale + position * (canvas.width - 2 * INSET * scale);
    };
    context.fillStyle = '#8a8d94';
    for (const ticks of this.stored) context.fillRect(Math.floor(x(ticks)), 0, scale, canvas.height);
    context.fillStyle = '#ff4d4d';
    for (const ticks of this.failed) {
      context.fillRect(Math.floor(x(ticks) - scale), 0, 3 * scale, canvas.height);
    }
  }
}
