-- Pesavo's site database: every weighing of every desk, sent by the desks as they happen.
-- Schema version 2 (the schema's comment says which version a database has).
--
-- Run once by the database's administrator, as the role that is to own the schema (running it
-- again changes nothing that exists):
--     psql -v ON_ERROR_STOP=1 -d <database> -f pesavo-site.sql
-- A database made by an earlier Pesavo (version 1: the schema has no comment) is brought to this
-- version by pesavo-site-upgrade-2.sql instead.
-- Then give each desk a login role of its own in the group role pesavo_desk, and the desk names
-- (Desk= in its Site.ini) it may write under, for example
--     create role desk_07 login password '...' in role pesavo_desk;
--     insert into pesavo.desk_names values ('desk_07', 'Packing desk 7');
-- A desk may only add weighings, under its own names: it cannot read, change or delete any, its
-- own included, nor see the totals or the names. Every row keeps the login that wrote it. Reports
-- read the table and the view with roles of their own.

begin;

create schema if not exists pesavo;

-- One row per acknowledged weighing of a desk. A desk sends each row until the server has
-- answered, so the same row may arrive more than once: (desk, run, row_id) names it, and a
-- repeat is ignored.
create table if not exists pesavo.weighings (
    desk       text not null,              -- the desk's name
    run        text not null,              -- the desk's run: made anew each time the program starts
    row_id     bigint not null,            -- the row within the run
    kind       smallint not null           -- 0 weight, 1 overweight, 2 error (the program's row kinds)
               check (kind in (0, 1, 2)),
    kg         numeric(12,4)               -- the weight, signed; none for an error
               check (kind <> 2 or kg is null),
    width_code smallint,                   -- how the scale showed it: kg width + 10 x lb width + 100 x oz width
    frame      bytea not null,             -- the scale's frame as it came: six bytes, or a line of text
    at         timestamptz not null,       -- when the desk took the weighing
    maybe_repeat boolean not null default false,  -- the first weighing after the desk's program restarted
                                           -- and the same as the last one before: the scale may have sent
                                           -- that one again (it never heard its answer), or it is a new
                                           -- parcel of the same weight; the desk cannot tell, and says so
    received   timestamptz not null default now(),  -- when it reached this database
    login      name,                       -- the login that wrote it, set by the server (weighings_login);
                                           -- null only in rows written before version 2, which kept no writer
    primary key (desk, run, row_id)
);

-- A table made by an earlier Pesavo is left as it was above: its upgrade mends it, not this.
do $$
begin
    if not exists (select from pg_attribute where attrelid = 'pesavo.weighings'::regclass and attname = 'login'
                   and not attisdropped) then
        raise exception 'this database has Pesavo''s site schema version 1: pesavo-site-upgrade-2.sql brings it to version 2';
    end if;
end
$$;

create index if not exists weighings_at on pesavo.weighings (at);

-- The desk names each desk's login may write under, filled by the DBA. A desk renamed in its
-- Site.ini still sends the rows it weighed under its earlier name: that name too, until they are in.
create table if not exists pesavo.desk_names (
    login name not null,                   -- a desk's login role
    desk  text not null,                   -- a name it may write under
    primary key (login, desk)
);

-- Weighings and kilograms per desk and day (UTC); overweights and errors are not counted.
create or replace view pesavo.daily_totals as
select desk,
       (at at time zone 'UTC')::date                      as day,
       count(*) filter (where kind = 0)                   as weighings,
       coalesce(sum(kg) filter (where kind = 0), 0)       as kilograms,
       count(*) filter (where kind = 0 and maybe_repeat)  as maybe_repeats
from pesavo.weighings
group by desk, (at at time zone 'UTC')::date;

-- Who wrote a row is the server's word, not the desk's: an insert that names the column gets the
-- session's login all the same (a default would be overridden).
create or replace function pesavo.weighings_login() returns trigger
    language plpgsql as $$
begin
    new.login := session_user;
    return new;
end
$$;

create or replace trigger weighings_login before insert on pesavo.weighings
    for each row execute function pesavo.weighings_login();

-- The desk names the session's login may write under. It reads desk_names with its owner's
-- rights, so a desk sees its own names and no other login's. A set, read once for a whole insert
-- rather than asked about every row.
create or replace function pesavo.login_desk_names() returns setof text
    language sql stable security definer set search_path = pg_catalog, pg_temp as $$
select n.desk from pesavo.desk_names n where n.login = session_user
$$;

-- The desks' group role: it may add rows and nothing else. INSERT ... ON CONFLICT DO NOTHING
-- needs no more than the INSERT privilege.
do $$
begin
    if not exists (select from pg_roles where rolname = 'pesavo_desk') then
        create role pesavo_desk nologin;
    end if;
end
$$;

-- Row-level security binds every role but the table's owner and superusers (it is not forced):
-- the first policy lets the others do what their grants let them, as before; the second, which
-- must hold as well, lets a desk insert only under its login's names.
alter table pesavo.weighings enable row level security;
do $$
begin
    if not exists (select from pg_policy where polrelid = 'pesavo.weighings'::regclass and polname = 'weighings_granted') then
        create policy weighings_granted on pesavo.weighings using (true) with check (true);
    end if;
    if not exists (select from pg_policy where polrelid = 'pesavo.weighings'::regclass and polname = 'weighings_desk_names') then
        create policy weighings_desk_names on pesavo.weighings as restrictive for insert to pesavo_desk
            with check (desk in (select pesavo.login_desk_names()));
    end if;
end
$$;

revoke all on schema pesavo from public;
revoke all on pesavo.weighings, pesavo.daily_totals, pesavo.desk_names from public;
revoke all on pesavo.weighings, pesavo.daily_totals, pesavo.desk_names from pesavo_desk;
revoke all on function pesavo.weighings_login(), pesavo.login_desk_names() from public;
grant usage on schema pesavo to pesavo_desk;
grant insert on pesavo.weighings to pesavo_desk;
grant execute on function pesavo.login_desk_names() to pesavo_desk;

comment on schema pesavo is 'Pesavo site schema 2';

commit;
