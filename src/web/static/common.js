// Shared by every page: the API wrapper, the header and the regional formats
// (decimal comma, dd.MM.yyyy H:mm), kept here once.
'use strict';

const QST = (function () {
    const roleTexts = {
        admin: 'администратор',
        operator: 'оператор',
        viewer: 'наблюдатель',
        consumer: 'потребитель',
    };

    class ApiError extends Error {
        constructor(status, text) {
            super(text);
            this.status = status;
        }
    }

    let session = null;

    function loginAddress() {
        return '/login?next=' + encodeURIComponent(location.pathname + location.search + location.hash);
    }

    // A next address is followed only when it stays on this site.
    function localPath(next) {
        if (typeof next !== 'string' || !next.startsWith('/') || next.startsWith('//') || next.startsWith('/\\'))
            return null;
        return next;
    }

    async function request(path, options) {
        const opts = options || {};
        const init = { method: opts.method || 'GET', headers: {}, credentials: 'same-origin', cache: 'no-store' };
        if (opts.body !== undefined) {
            init.headers['Content-Type'] = 'application/json';
            init.body = JSON.stringify(opts.body);
        }
        if (init.method !== 'GET' && init.method !== 'HEAD' && session && session.csrf)
            init.headers['X-CSRF-Token'] = session.csrf;
        let response;
        try {
            response = await fetch(path, init);
        } catch (e) {
            throw new ApiError(0, 'Сервер недоступен. Проверьте соединение и повторите.');
        }
        if (response.status === 401 && !opts.noRedirect) {
            location.assign(loginAddress());
            throw new ApiError(401, 'Требуется вход');
        }
        if (!response.ok) {
            let text = 'Ошибка сервера (код ' + response.status + ')';
            try {
                const body = await response.json();
                if (body && typeof body.error === 'string' && body.error)
                    text = body.error;
            } catch (e) {
                // not JSON: the status text above is all there is
            }
            const error = new ApiError(response.status, text);
            error.retryAfter = response.headers.get('Retry-After');
            throw error;
        }
        return response;
    }

    async function getJson(path) {
        const response = await request(path);
        return response.json();
    }

    function element(tag, attrs, children) {
        const node = document.createElement(tag);
        if (attrs) {
            for (const [key, value] of Object.entries(attrs)) {
                if (value === undefined || value === null || value === false)
                    continue;
                if (key === 'text')
                    node.textContent = value;
                else if (key === 'className')
                    node.className = value;
                else
                    node.setAttribute(key, value === true ? '' : value);
            }
        }
        for (const child of children || []) {
            if (child !== null && child !== undefined)
                node.append(child);
        }
        return node;
    }

    function showMessage(box, text, kind) {
        box.textContent = text || '';
        box.className = 'message ' + (kind || 'error');
    }

    function pad(n) {
        return n < 10 ? '0' + n : String(n);
    }

    // "2026-12-10T13:00:00" as the files hold it: wall-clock parts, no time zone.
    function parseTime(text) {
        const m = /^(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{1,2}):(\d{2})(?::(\d{2}))?)?/.exec(text || '');
        if (!m)
            return null;
        return {
            year: +m[1], month: +m[2], day: +m[3],
            hour: +(m[4] || 0), minute: +(m[5] || 0), second: +(m[6] || 0),
        };
    }

    function dateText(text) {
        const t = parseTime(text);
        return t ? pad(t.day) + '.' + pad(t.month) + '.' + t.year : '';
    }

    function dateTimeText(text) {
        const t = parseTime(text);
        return t ? dateText(text) + ' ' + t.hour + ':' + pad(t.minute) : '';
    }

    function monthText(text) {
        const t = parseTime(text);
        return t ? pad(t.month) + '.' + t.year : '';
    }

    // Chart axes count wall-clock milliseconds as if they were UTC, so no clock change moves an hour.
    function timeMs(text) {
        const t = parseTime(text);
        return t ? Date.UTC(t.year, t.month - 1, t.day, t.hour, t.minute, t.second) : NaN;
    }

    function msText(ms) {
        const d = new Date(ms);
        return pad(d.getUTCDate()) + '.' + pad(d.getUTCMonth() + 1) + '.' + d.getUTCFullYear() + ' ' +
            d.getUTCHours() + ':' + pad(d.getUTCMinutes());
    }

    function isoDate(date) {
        return date.getFullYear() + '-' + pad(date.getMonth() + 1) + '-' + pad(date.getDate());
    }

    function daysAgo(n) {
        const d = new Date();
        d.setDate(d.getDate() - n);
        return isoDate(d);
    }

    function numberText(value) {
        if (value === null || value === undefined || value === '')
            return '';
        if (typeof value !== 'number')
            return String(value);
        if (!isFinite(value))
            return '';
        let s = String(value);
        if (s.includes('e'))
            s = Math.abs(value) < 1e-9 ? '0' : value.toFixed(9).replace(/0+$/, '').replace(/\.$/, '');
        return s.replace('.', ',');
    }

    function roleText(role) {
        return roleTexts[role] || role || '';
    }

    async function logout() {
        try {
            await request('/api/v1/session', { method: 'DELETE', noRedirect: true });
        } catch (e) {
            // an expired session is logged out already
        }
        location.assign('/login');
    }

    // Fills the header and returns the session; an anonymous visitor is sent to the login page.
    async function start() {
        const response = await request('/api/v1/session');
        session = await response.json();
        const name = document.getElementById('user-name');
        const role = document.getElementById('user-role');
        if (name)
            name.textContent = session.user;
        if (role)
            role.textContent = roleText(session.role);
        const users = document.getElementById('nav-users');
        if (users && session.role === 'admin')
            users.classList.remove('hidden');
        const out = document.getElementById('logout');
        if (out)
            out.addEventListener('click', logout);
        return session;
    }

    return {
        ApiError, request, getJson, element, showMessage, localPath, start, logout,
        parseTime, dateText, dateTimeText, monthText, timeMs, msText, isoDate, daysAgo, numberText, roleText,
        roles: Object.keys(roleTexts),
    };
})();
