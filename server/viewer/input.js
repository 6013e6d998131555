// Remote input for the viewer page: mouse, touch and keyboard to the server
// over the "input" data channel, and the server's pointer drawn over the
// picture. Plain script, no build step: phones on http:// run it as is.
'use strict';

(function () {
  const LONG_PRESS_MS = 550;
  const DRAG_SLOP_PX = 8;
  const SCROLL_STEP_PX = 40;     // two-finger travel per wheel step
  const WHEEL_STEP_PX = 100;     // a mouse wheel notch in pixel mode
  const REASONS = {
    'wayland': 'this computer runs a Wayland session',
    'no-xtest': 'its X server offers no input extension (XTEST)',
    'no-display': 'no X display was found',
  };

  function attach(channel, surface, video) {
    const listeners = [];
    const on = (target, type, fn, options) => {
      target.addEventListener(type, fn, options);
      listeners.push(() => target.removeEventListener(type, fn, options));
    };
    let available = false;
    let screenW = 0, screenH = 0;

    const send = (message) => {
      if (available && channel.readyState === 'open') channel.send(JSON.stringify(message));
    };

    // The picture's rectangle on the page: the video element letterboxes it (object-fit: contain).
    function picture() {
      const box = video.getBoundingClientRect();
      const w = video.videoWidth || screenW, h = video.videoHeight || screenH;
      if (!w || !h || !box.width || !box.height) return box;
      const scale = Math.min(box.width / w, box.height / h);
      const pw = w * scale, ph = h * scale;
      return { left: box.left + (box.width - pw) / 2, top: box.top + (box.height - ph) / 2, width: pw, height: ph };
    }
    // Relative position of a client point; null outside the picture unless clamped.
    function relative(clientX, clientY, clamp) {
      const p = picture();
      let x = (clientX - p.left) / p.width, y = (clientY - p.top) / p.height;
      if (!(x >= 0 && x <= 1 && y >= 0 && y <= 1)) {
        if (!clamp || !isFinite(x) || !isFinite(y)) return null;
        x = Math.min(1, Math.max(0, x));
        y = Math.min(1, Math.max(0, y));
      }
      return { x, y };
    }

    // --- pointer overlay -------------------------------------------------
    const cursor = document.createElement('canvas');
    cursor.className = 'qx-cursor';
    cursor.style.cssText = 'position:absolute;left:0;top:0;pointer-events:none;display:none;image-rendering:pixelated;z-index:2';
    surface.appendChild(cursor);
    let shape = { width: 0, height: 0, hotX: 0, hotY: 0 };
    let at = { x: 0, y: 0, visible: false };

    function drawCursor() {
      const p = picture(), s = surface.getBoundingClientRect();
      if (!at.visible || !shape.width || !screenW) { cursor.style.display = 'none'; return; }
      const scale = p.width / screenW;
      cursor.style.display = 'block';
      cursor.style.width = shape.width * scale + 'px';
      cursor.style.height = shape.height * scale + 'px';
      const left = p.left - s.left + at.x * p.width - shape.hotX * scale;
      const top = p.top - s.top + at.y * p.height - shape.hotY * scale;
      cursor.style.transform = 'translate(' + left + 'px,' + top + 'px)';
    }
    function setShape(m) {
      const bytes = atob(m.rgba);
      if (!(m.width > 0 && m.height > 0) || bytes.length !== m.width * m.height * 4) return;
      const image = new ImageData(m.width, m.height);
      for (let i = 0; i < bytes.length; i++) image.data[i] = bytes.charCodeAt(i);
      cursor.width = m.width;
      cursor.height = m.height;
      cursor.getContext('2d').putImageData(image, 0, 0);
      shape = { width: m.width, height: m.height, hotX: m.hotX | 0, hotY: m.hotY | 0 };
      drawCursor();
    }

    // --- unavailable note ------------------------------------------------
    const note = document.createElement('div');
    note.className = 'qx-input-note';
    note.setAttribute('role', 'status');
    note.style.cssText = 'position:absolute;left:50%;bottom:12px;transform:translateX(-50%);max-width:90%;padding:6px 10px;' +
      'border-radius:6px;background:rgba(0,0,0,.7);color:#fff;font:13px system-ui,sans-serif;pointer-events:none;z-index:3';
    note.hidden = true;
    surface.appendChild(note);

    on(channel, 'message', (e) => {
      let m;
      try { m = JSON.parse(e.data); } catch (err) { return; }
      if (!m || typeof m !== 'object') return;
      if (m.type === 'input') {
        available = m.available === true;
        screenW = m.width | 0;
        screenH = m.height | 0;
        note.hidden = available;
        note.textContent = available ? '' : 'Remote control is unavailable: ' + (REASONS[m.reason] || m.reason || 'unknown reason') + '.';
        keyboardButton.hidden = !available;
        drawCursor();
      } else if (m.type === 'cursor') {
        at = { x: +m.x, y: +m.y, visible: m.visible === true };
        drawCursor();
      } else if (m.type === 'cursor-shape') {
        setShape(m);
      }
    });
    on(window, 'resize', drawCursor);
    on(video, 'resize', drawCursor);

    // --- mouse -----------------------------------------------------------
    on(surface, 'mousemove', (e) => {
      const r = relative(e.clientX, e.clientY, e.buttons !== 0);
      if (r) send({ type: 'pointer', x: r.x, y: r.y });
    });
    on(surface, 'mousedown', (e) => {
      surface.focus({ preventScroll: true });
      const r = relative(e.clientX, e.clientY, false);
      if (!r || e.button > 2) return;
      e.preventDefault();
      send({ type: 'button', button: e.button, down: true, x: r.x, y: r.y });
    });
    on(window, 'mouseup', (e) => {
      if (e.button > 2) return;
      const r = relative(e.clientX, e.clientY, true);
      send(r ? { type: 'button', button: e.button, down: false, x: r.x, y: r.y } : { type: 'button', button: e.button, down: false });
    });
    on(surface, 'contextmenu', (e) => e.preventDefault());
    let wheelX = 0, wheelY = 0;
    on(surface, 'wheel', (e) => {
      e.preventDefault();
      const unit = e.deltaMode === 1 ? 1 / 3 : e.deltaMode === 2 ? 1 : 1 / WHEEL_STEP_PX;
      wheelX += e.deltaX * unit;
      wheelY += e.deltaY * unit;
      const dx = Math.trunc(wheelX), dy = Math.trunc(wheelY);
      if (!dx && !dy) return;
      wheelX -= dx;
      wheelY -= dy;
      send({ type: 'wheel', dx: Math.max(-20, Math.min(20, dx)), dy: Math.max(-20, Math.min(20, dy)) });
    }, { passive: false });

    // --- keyboard (desktop: the focused surface) --------------------------
    const keyMessage = (e, down) => ({ type: 'key', key: e.key.slice(0, 32), code: (e.code || '').slice(0, 32), down });
    on(surface, 'keydown', (e) => {
      if (e.isComposing) return;
      e.preventDefault();
      send(keyMessage(e, true));
    });
    on(surface, 'keyup', (e) => {
      if (e.isComposing) return;
      e.preventDefault();
      send(keyMessage(e, false));
    });

    // --- touch -----------------------------------------------------------
    // One finger: tap = click, drag = move with the button down, long press = right click.
    // Two fingers: scroll.
    let touch = null;
    const click = (button, r) => {
      send({ type: 'button', button, down: true, x: r.x, y: r.y });
      send({ type: 'button', button, down: false, x: r.x, y: r.y });
    };
    const midpoint = (list) => {
      let x = 0, y = 0;
      for (const t of list) { x += t.clientX; y += t.clientY; }
      return { x: x / list.length, y: y / list.length };
    };
    function endDrag() {
      if (touch && touch.mode === 'drag') send({ type: 'button', button: 0, down: false });
    }
    on(surface, 'touchstart', (e) => {
      e.preventDefault();
      if (e.touches.length >= 2) {
        if (touch) { clearTimeout(touch.timer); endDrag(); }
        const m = midpoint(e.touches);
        touch = { mode: 'scroll', lastY: m.y, lastX: m.x, restY: 0, restX: 0 };
        // Scroll what lies under the fingers.
        const r = relative(m.x, m.y, true);
        if (r) send({ type: 'pointer', x: r.x, y: r.y });
        return;
      }
      const t = e.changedTouches[0];
      const start = relative(t.clientX, t.clientY, false);
      if (!start) { touch = null; return; }
      touch = { mode: 'press', x0: t.clientX, y0: t.clientY, start };
      touch.timer = setTimeout(() => {
        if (!touch || touch.mode !== 'press') return;
        touch.mode = 'done';
        click(2, touch.start);
      }, LONG_PRESS_MS);
    }, { passive: false });
    on(surface, 'touchmove', (e) => {
      e.preventDefault();
      if (!touch) return;
      if (touch.mode === 'scroll' && e.touches.length >= 2) {
        const m = midpoint(e.touches);
        // Content follows the fingers: fingers moving up scroll down.
        touch.restY += (touch.lastY - m.y) / SCROLL_STEP_PX;
        touch.restX += (touch.lastX - m.x) / SCROLL_STEP_PX;
        touch.lastY = m.y;
        touch.lastX = m.x;
        const dy = Math.trunc(touch.restY), dx = Math.trunc(touch.restX);
        if (dx || dy) {
          touch.restY -= dy;
          touch.restX -= dx;
          send({ type: 'wheel', dx: Math.max(-20, Math.min(20, dx)), dy: Math.max(-20, Math.min(20, dy)) });
        }
        return;
      }
      const t = e.touches[0];
      if (touch.mode === 'press' && Math.hypot(t.clientX - touch.x0, t.clientY - touch.y0) > DRAG_SLOP_PX) {
        clearTimeout(touch.timer);
        touch.mode = 'drag';
        send({ type: 'button', button: 0, down: true, x: touch.start.x, y: touch.start.y });
      }
      if (touch.mode === 'drag') {
        const r = relative(t.clientX, t.clientY, true);
        if (r) send({ type: 'pointer', x: r.x, y: r.y });
      }
    }, { passive: false });
    const touchEnd = (e) => {
      e.preventDefault();
      if (!touch || e.touches.length > 0) return;
      clearTimeout(touch.timer);
      if (touch.mode === 'press') click(0, touch.start);
      endDrag();
      touch = null;
    };
    on(surface, 'touchend', touchEnd, { passive: false });
    on(surface, 'touchcancel', touchEnd, { passive: false });

    // --- the phone's keyboard --------------------------------------------
    // A hidden text field holds one space, so Backspace has something to delete
    // (and so fires an event) even though the text goes straight to the server.
    const SENTINEL = ' ';
    const field = document.createElement('input');
    field.type = 'text';
    field.className = 'qx-keyboard-field';
    field.setAttribute('autocomplete', 'off');
    field.setAttribute('autocapitalize', 'off');
    field.setAttribute('autocorrect', 'off');
    field.setAttribute('spellcheck', 'false');
    field.setAttribute('aria-hidden', 'true');
    // 16px keeps mobile browsers from zooming in on focus.
    field.style.cssText = 'position:absolute;left:0;bottom:0;width:1px;height:1px;opacity:0;font-size:16px;border:0;padding:0;';
    field.value = SENTINEL;
    surface.appendChild(field);
    const keyboardButton = document.createElement('button');
    keyboardButton.type = 'button';
    keyboardButton.className = 'qx-keyboard-button';
    keyboardButton.title = 'Keyboard';
    keyboardButton.textContent = '⌨';
    keyboardButton.hidden = true;
    keyboardButton.style.cssText = 'position:absolute;right:12px;bottom:12px;width:44px;height:44px;border-radius:22px;border:0;' +
      'background:rgba(0,0,0,.55);color:#fff;font-size:22px;z-index:4';
    surface.appendChild(keyboardButton);
    const stop = (e) => e.stopPropagation();
    for (const type of ['touchstart', 'touchmove', 'touchend', 'mousedown', 'mouseup', 'keydown', 'keyup', 'wheel']) {
      on(keyboardButton, type, stop);
      on(field, type, stop);
    }
    on(keyboardButton, 'click', () => {
      field.value = SENTINEL;
      field.focus({ preventScroll: true });
      field.setSelectionRange(1, 1);
    });
    const tap = (key) => {
      send({ type: 'key', key, code: key, down: true });
      send({ type: 'key', key, code: key, down: false });
    };
    const reset = () => { field.value = SENTINEL; field.setSelectionRange(1, 1); };
    on(field, 'keydown', (e) => {
      if (e.isComposing || e.key === 'Unidentified' || e.key === 'Process') return;
      if (e.key === 'Enter' || e.key === 'Backspace' || e.key === 'Tab' || e.key === 'Escape' || e.key.startsWith('Arrow')) {
        e.preventDefault();
        tap(e.key);
      }
    });
    on(field, 'compositionend', (e) => {
      if (e.data) send({ type: 'text', text: e.data });
      reset();
    });
    on(field, 'input', (e) => {
      if (e.isComposing) return;
      if (e.inputType && e.inputType.startsWith('delete')) {
        tap('Backspace');
      } else if (e.inputType === 'insertLineBreak') {
        tap('Enter');
      } else {
        const typed = field.value.startsWith(SENTINEL) ? field.value.slice(SENTINEL.length) : field.value;
        const chars = Array.from(typed);  // by code point, so no surrogate pair is split
        for (let i = 0; i < chars.length; i += 64) send({ type: 'text', text: chars.slice(i, i + 64).join('') });
      }
      reset();
    });

    return function detach() {
      for (const off of listeners) off();
      cursor.remove();
      note.remove();
      field.remove();
      keyboardButton.remove();
    };
  }

  window.qxInput = { attach };
})();
